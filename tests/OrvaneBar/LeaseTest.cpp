// The application's lease on the fans it forces, end to end on both machine families: the
// daemon as root and the built OrvaneBar as an ordinary user, in a private /tmp, /run and
// /var/log, on a real emulator. Fans are read from the emulator, the leases the daemon
// granted from its log; scripts are socat run as a user.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "AppFixture.h"
#include "ControlProtocol.h"
#include "Paths.h"
#include "PrivateTmp.h"
#include "SMCCodec.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uid_t kUser = 40001;   // the application's user
constexpr uid_t kOther = 40002;  // another user of the machine
// How long the daemon waits for a new lease before it hands the fans back.
constexpr auto kGrace = 10s;
const std::string kGranted = servedLine(std::string(protocol::kHold), protocol::Reply::hold(10));

template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class LeaseTest : public AppFixture, public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "a private /run and other users need root";
        ASSERT_TRUE(tmp.ok()) << tmp.error();
        // The temperatures hold still, so the boost keeps its step.
        startMachine(GetParam(), true);
        factory[0] = emu->value("F0Mn");
        factory[1] = emu->value("F1Mn");
        startDaemon();
    }
    void TearDown() override {
        if (HasFailure() && tmp.ok()) {
            for (const char* log : {"/var/log/orvane/daemon.log", "/tmp/app.log"})
                std::fprintf(stderr, "--- %s\n%s", log, tmp.read(log).c_str());
        }
        if (app > 0) killApp();
        AppFixture::TearDown();
    }

    void startDaemon() {
        daemon = startDaemonInside(tmp, "/tmp/daemon.out");
        ASSERT_GT(daemon, 0);
    }
    void restartDaemon() {
        ASSERT_EQ(::kill(daemon, SIGTERM), 0);
        ::waitpid(daemon, nullptr, 0);
        startDaemon();
    }

    // The application as kUser, on the offscreen platform, with the temperature boost on
    // (every fan at its maximum from 2 ℃) or off; returns once the daemon granted it its
    // lease (the `granted`th one of the test).
    void startApp(bool boost, std::size_t granted) {
        const std::string config = "/tmp/home/.config/Orvane";
        for (const std::string dir : {"/tmp/home", "/tmp/home/.config", config.c_str()}) {
            ::mkdir(tmp.path(dir).c_str(), 0700);
            ASSERT_EQ(::chown(tmp.path(dir).c_str(), kUser, kUser), 0);
        }
        std::ofstream(tmp.path(config + "/OrvaneBar.conf"))
            << "[General]\ntempBoostEnabled=" << (boost ? "true" : "false")
            << "\ntempBoostStartTemp=1\ntempBoostThreshold=2\n";
        app = tmp.start(appCommandLine({"QT_QPA_PLATFORM=offscreen", "HOME=/tmp/home",
                                        "XDG_RUNTIME_DIR=/tmp/home"},
                                       {"DBUS_SESSION_BUS_ADDRESS"}),
                        "/tmp/app.log", kUser);
        ASSERT_GT(app, 0);
        ASSERT_TRUE(waitUntil([&] { return grants() >= granted; }, 30s))
            << "the application took no lease";
    }
    // Kills the application outright; the moment it was gone.
    Clock::time_point killApp() {
        ::kill(app, SIGKILL);
        ::waitpid(app, nullptr, 0);
        app = -1;
        return Clock::now();
    }

    std::size_t grants() { return occurrences(log(), kGranted); }
    std::string log() { return tmp.read(paths::kLogPath); }

    // A script of `uid` forces a fan through the daemon; whether it was answered "OK".
    bool scriptSets(uid_t uid, int fan, int rpm) {
        const std::string request = "set " + std::to_string(fan) + " " + std::to_string(rpm);
        return tmp.run({"/bin/sh", "-c",
                        "echo '" + request +
                            "' | socat -t 5 - UNIX-CONNECT:/tmp/orvane.sock | grep -q '^OK set'"},
                       "", uid) == 0;
    }

    bool modeKeys() const { return machines::hasModeKeys(GetParam()); }
    // Mode byte set, or minimum off the factory one.
    bool forced(int fan) {
        const std::string f = "F" + std::to_string(fan);
        if (modeKeys()) return emu->value(f + "Md") != std::vector<std::uint8_t>{0};
        return emu->value(f + "Mn") != factory[fan];
    }

    // The speed a fan is forced at: its target with mode keys, its raised minimum without.
    std::optional<double> forcedAt(int fan) {
        const std::string key = "F" + std::to_string(fan) + (modeKeys() ? "Tg" : "Mn");
        return SMCCodec::decode(emu->value(key), modeKeys() ? "flt " : "fpe2");
    }

    // Fan 0 stays forced until the grace after `gone` has nearly passed, then goes back;
    // the time it took is printed.
    void expectHandedBackAfterTheGrace(Clock::time_point gone) {
        std::this_thread::sleep_until(gone + kGrace - 2s);
        EXPECT_TRUE(forced(0)) << "handed back before the grace was over";
        EXPECT_TRUE(waitUntil([&] { return !forced(0); }, 30s)) << "never handed back";
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - gone);
        std::printf("fan 0 handed back %.1f s after the application was killed\n",
                    took.count() / 1000.0);
        EXPECT_EQ(emu->value("F0Mn"), factory[0]);  // unchanged where a mode key forces
        EXPECT_NE(log().find("[serve] 用户 uid=40001 的租约已结束 10 秒，已交还风扇 0 的自动控制"),
                  std::string::npos);
    }

    PrivateTmp tmp;
    std::vector<std::uint8_t> factory[2];
    pid_t daemon = -1;
    pid_t app = -1;
};

}  // namespace

TEST_P(LeaseTest, FansTheKilledApplicationForcedGoBackAfterTheGraceOthersStay) {
    startApp(true, 1);
    ASSERT_TRUE(waitUntil([&] { return forced(0) && forced(1); }, 30s))
        << "the boost forced nothing";
    // Another user forces fan 1 again: it is that user's now.
    ASSERT_TRUE(scriptSets(kOther, 1, 3000));

    expectHandedBackAfterTheGrace(killApp());
    EXPECT_TRUE(forced(1));
}

// Fans the killed application forced that are set to another speed during the grace, by root
// on the SMC itself and by another user through the daemon, stay as they were set.
TEST_P(LeaseTest, FansSetToAnotherSpeedDuringTheGraceStayAsSet) {
    startApp(true, 1);
    ASSERT_TRUE(waitUntil([&] { return forced(0) && forced(1); }, 30s))
        << "the boost forced nothing";
    const auto gone = killApp();
    ASSERT_EQ(tmp.run({ORVTOOL_BINARY, "set", "0", "3000"}, "/tmp/root-set.log"), 0)
        << tmp.read("/tmp/root-set.log");
    ASSERT_TRUE(scriptSets(kOther, 1, 3500));

    std::this_thread::sleep_until(gone + kGrace);
    ASSERT_TRUE(waitUntil(
        [&] { return log().find("[serve] 用户 uid=40001 的租约已结束") != std::string::npos; },
        30s))
        << "the grace never ended";
    EXPECT_NE(
        log().find("[serve] 用户 uid=40001 的租约已结束，风扇 0 已不是它所强制的状态，保持原样"),
        std::string::npos);
    EXPECT_TRUE(forced(0));
    EXPECT_TRUE(forced(1));
    EXPECT_EQ(forcedAt(0), 3000);
    EXPECT_EQ(forcedAt(1), 3500);
    // Another user's fan is no longer the lease's at all, and nothing was handed back.
    EXPECT_EQ(log().find("风扇 1 已不是"), std::string::npos);
    EXPECT_EQ(log().find("[serve] 用户 uid=40001 的租约已结束 10 秒"), std::string::npos);
}

TEST_P(LeaseTest, ApplicationRestartedWithinTheGraceKeepsItsFansScriptsKeepTheirs) {
    startApp(false, 1);
    // A restarted daemon gets the lease again without the application doing anything.
    ASSERT_NO_FATAL_FAILURE(restartDaemon());
    ASSERT_TRUE(waitUntil([&] { return grants() >= 2; }, 30s)) << "no lease after a restart";

    // The application's user forces fan 0, as its rows do.
    ASSERT_TRUE(scriptSets(kUser, 0, 4000));
    const auto gone = killApp();
    // A script of the same user while no lease is open.
    ASSERT_TRUE(scriptSets(kUser, 1, 3000));
    ASSERT_NO_FATAL_FAILURE(startApp(false, 3));
    std::this_thread::sleep_until(gone + kGrace + 2s);
    EXPECT_TRUE(forced(0));
    EXPECT_NE(log().find("[serve] 用户 uid=40001 在宽限期内重新持有租约，风扇保持原样"),
              std::string::npos);

    expectHandedBackAfterTheGrace(killApp());
    EXPECT_TRUE(forced(1));
    // A fan is still forced through the daemon: its mark stays for a restart to find.
    struct stat st {};
    EXPECT_EQ(::lstat(tmp.path("/run/orvane/daemon-forced").c_str(), &st), 0);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, LeaseTest,
                         ::testing::Values(machines::modeKeys, machines::raisedMinimum),
                         [](const auto& info) {
                             return machines::hasModeKeys(info.param) ? "Recent" : "Older";
                         });
