// Fans handed back across processes on both machine families: the real orvtool binary in
// a private /tmp and /run (a fresh boot's), on a real emulator.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "Emulator.h"
#include "PrivateTmp.h"

namespace {

// One request on a fresh connection; the reply line without its line feed, empty when
// nobody answers.
std::string ask(const std::string& socketPath, const std::string& line) {
    return askSocket(socketPath, line).value_or("");
}

class RestartTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "SMC writes and a private /run need root";
        ASSERT_TRUE(tmp.ok()) << tmp.error();
        factory = emu.value("F0Mn");
    }
    pid_t startDaemon() {
        const pid_t pid = tmp.start({ORVTOOL_BINARY, "serve"}, "/tmp/orvane-daemon.log");
        EXPECT_TRUE(tmp.waitForSocket("/tmp/orvane.sock", pid));
        return pid;
    }
    bool modeKeys() const { return std::string(GetParam()) == "recent-2fan.prof"; }
    // Whether fan 0 is forced in the SMC: mode byte set, or minimum off the factory one.
    bool forced() {
        if (modeKeys()) return emu.value("F0Md") != std::vector<std::uint8_t>{0};
        return emu.value("F0Mn") != factory;
    }

    // Whether a daemon's mark of forced fans is there.
    bool marked() const {
        struct stat st {};
        return ::lstat(tmp.path("/run/orvane/daemon-forced").c_str(), &st) == 0;
    }

    Emulator emu{Emulator::shippedProfile(GetParam())};
    PrivateTmp tmp;
    std::vector<std::uint8_t> factory;
};

}  // namespace

TEST_P(RestartTest, KilledDaemonsFansGoBackWhenTheNextOneStarts) {
    const std::string socket = tmp.path("/tmp/orvane.sock");
    const pid_t first = startDaemon();
    EXPECT_EQ(ask(socket, "set 0 3000"), "OK set fan=0 rpm=3000");
    EXPECT_TRUE(forced());
    EXPECT_TRUE(marked());
    // Killed outright, as a service manager's hard stop does: no stop sequence runs.
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ::waitpid(first, nullptr, 0);
    EXPECT_TRUE(forced());

    // The next daemon hands the fan back before it answers anything, with the factory
    // minimum from the boot's record on a machine without mode keys.
    const pid_t second = startDaemon();
    EXPECT_EQ(ask(socket, "ping"), "OK pong fans=2");
    EXPECT_FALSE(forced());
    EXPECT_EQ(emu.value("F0Mn"), factory);
    EXPECT_FALSE(marked());
    EXPECT_NE(tmp.read("/var/log/orvane/daemon.log").find("仍有风扇被强制，已交还自动控制"),
              std::string::npos);

    // Handing the fans back through the daemon clears the mark once none is left forced: a
    // daemon killed after that leaves nothing for the next one to do.
    EXPECT_EQ(ask(socket, "set 0 3000"), "OK set fan=0 rpm=3000");
    EXPECT_EQ(ask(socket, "set 1 3000").rfind("OK set fan=1 ", 0), 0u);
    EXPECT_EQ(ask(socket, "auto 0"), "OK auto fan=0");
    EXPECT_TRUE(marked());  // fan 1 is still forced
    EXPECT_EQ(ask(socket, "auto 1"), "OK auto fan=1");
    EXPECT_FALSE(marked());
    ASSERT_EQ(::kill(second, SIGKILL), 0);
    ::waitpid(second, nullptr, 0);
    EXPECT_EQ(ask(socket, "set 0 3000"), "");  // nobody listens
    startDaemon();
    EXPECT_EQ(ask(socket, "quit"), "OK bye");
    const std::string log = tmp.read("/var/log/orvane/daemon.log");
    EXPECT_EQ(log.find("已交还自动控制"), log.rfind("已交还自动控制")) << log;
}

// A directory of the lock and mark that another user owns is not written through: the
// daemon says so in its log and does not start, so it neither binds a socket nor claims the
// fans are marked; a fan forced before stays as it is.
TEST_P(RestartTest, UntrustedMarkDirectoryStopsTheStartAndIsWrittenNothing) {
    const std::string dir = tmp.path("/run/orvane");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
    EXPECT_EQ(tmp.run({ORVTOOL_BINARY, "set", "0", "3000"}, "/tmp/tool.log"), 0);
    EXPECT_EQ(tmp.run({ORVTOOL_BINARY, "serve"}, "/tmp/orvane-daemon.log"), 1);
    EXPECT_NE(tmp.read("/var/log/orvane/daemon.log")
                  .find("无法取得控制服务的锁 errno=1: /run/orvane/daemon.lock"),
              std::string::npos)
        << tmp.read("/var/log/orvane/daemon.log");
    EXPECT_EQ(ask(tmp.path("/tmp/orvane.sock"), "ping"), "");
    EXPECT_TRUE(forced());
    EXPECT_FALSE(marked());
    struct stat st {};
    EXPECT_NE(::lstat(tmp.path("/run/orvane/daemon.lock").c_str(), &st), 0);
}

TEST_P(RestartTest, FanForcedFromTheCommandLineStaysForcedWhenADaemonStarts) {
    EXPECT_EQ(tmp.run({ORVTOOL_BINARY, "set", "0", "3000"}, "/tmp/tool.log"), 0);
    EXPECT_TRUE(forced());
    startDaemon();
    EXPECT_EQ(ask(tmp.path("/tmp/orvane.sock"), "ping"), "OK pong fans=2");
    EXPECT_TRUE(forced());
    EXPECT_EQ(ask(tmp.path("/tmp/orvane.sock"), "quit"), "OK bye");
    EXPECT_FALSE(forced());
}

TEST_P(RestartTest, SeparateAutoProcessHandsBackTheFactoryMinimum) {
    const std::string log = "/tmp/tool.log";
    EXPECT_EQ(tmp.run({ORVTOOL_BINARY, "set", "0", "3000"}, log), 0);
    EXPECT_TRUE(forced());
    EXPECT_EQ(tmp.run({ORVTOOL_BINARY, "auto"}, log), 0);
    EXPECT_FALSE(forced());
    EXPECT_EQ(emu.value("F0Mn"), factory);
    const std::string out = tmp.read(log);
    EXPECT_NE(out.find("已对 2 个风扇执行恢复自动"), std::string::npos) << out;
    EXPECT_EQ(out.find("失败"), std::string::npos) << out;
    // The record is where every later process of this boot finds it, readable by all.
    EXPECT_NE(tmp.read("/run/orvane/fan-minimums").find("fans 2\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, RestartTest,
                         ::testing::Values("recent-2fan.prof", "older-2fan.prof"),
                         [](const auto& info) {
                             return std::string(info.param).substr(0, 6) == "recent" ? "Recent"
                                                                                     : "Older";
                         });
