// Curves and floors the daemon runs, on the emulator and both machine families: a curve drives
// its fan from the averaged temperature and leaves it alone while the temperature wanders
// around a point, it is kept across a restart and ended by root's hand-back; a floor raises the
// minimum under the SMC's own control where the machine has no mode keys and is refused where
// it has; only root and the owner set them, nobody else moves a fan that follows one; bad
// settings are refused with nothing stored; the heat guard and a sleep hand a curve's fan back
// and the curve runs it again afterwards. `status` tells who holds each fan (a lease, a set, a
// curve, root on the SMC itself) as the emulator's keys show it, and what the daemon counted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ControlProtocol.h"
#include "DaemonRig.h"
#include "Deadline.h"
#include "FakeLogind.h"
#include "Paths.h"
#include "Reply.h"
#include "SMCCodec.h"
#include "Status.h"

namespace {

using namespace std::chrono_literals;
using protocol::ReplyKind;

constexpr uid_t kOwner = 40100;  // the user the daemon is started for, as sudo does
constexpr uid_t kOther = 65534;  // any other user
constexpr const char* kCurvesFile = paths::kStandingPath;

// The curve most tests run, within both families' limits: 62.5 rpm a degree from 40 to 80 °C.
// Its request's words are the words the listing shows.
constexpr const char* kCurve = "curve 0 cpu 40:2500 80:5000";
double curveSpeed(double celsius) {
    return std::clamp(2500 + (celsius - 40) * 62.5, 2500.0, 5000.0);
}
// What the daemon may write with the temperature settled at `celsius`.
constexpr double kTolerance = 50;
// The average's 10 s and a few polls more.
constexpr auto kSettle = 16s;

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

class CurveTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "private mount namespaces need root";
        rig = std::make_unique<DaemonRig>(ORVTOOL_BINARY, GetParam());
        ASSERT_TRUE(rig->ok()) << rig->error();
        // The model stands still unless a test steps it; the temperature the curves read is
        // the one a test pins.
        ASSERT_TRUE(control("clock freeze"));
        ASSERT_TRUE(pinCpu(60));
    }
    void start(ProcessOptions options = {}) {
        ASSERT_TRUE(rig->start({"serve"}, std::move(options))) << rig->daemon().err(100ms);
    }
    // The daemon started as sudo starts it for kOwner.
    void startOwned() {
        ProcessOptions options;
        options.env.emplace_back(paths::kSudoUidEnv, std::to_string(kOwner));
        start(options);
    }
    // `quit`, answered, and the daemon's end.
    void stop() {
        ASSERT_TRUE(is(ReplyKind::bye, rig->request("quit")));
        ASSERT_EQ(rig->daemon().finish(), 0);
    }

    bool control(const std::string& line) { return rig->emu().control(line).rfind("OK", 0) == 0; }
    bool pinCpu(double celsius) { return control("pin cpu " + number(celsius)); }
    // The emulated CPU temperature.
    double cpuNow() {
        const std::string status = rig->emu().control("status");
        const auto at = status.find(" cpu=");
        return at == std::string::npos ? 0 : std::atof(status.c_str() + at + 5);
    }
    // Whether `reply` is of the kind expected; the reply is shown when not.
    static ::testing::AssertionResult is(ReplyKind expected, const std::string& reply) {
        if (protocol::parseReply(reply).kind == expected) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the reply is \"" << reply << "\"";
    }

    // The reply to one request of user `uid`, from a process of that user in the namespace.
    std::string askAs(uid_t uid, const std::string& line) {
        ProcessOptions options;
        options.uid = uid;
        options.namespaceFd = rig->tmp().namespaceFd();
        Process child = Process::call(
            [&] {
                const std::string reply =
                    SocketClient::ask(protocol::kFallbackSocketPath, line).value_or("");
                return ::write(STDOUT_FILENO, reply.data(), reply.size()) == ssize_t(reply.size())
                           ? 0
                           : 1;
            },
            options);
        const std::string reply = child.out();
        child.finish();
        return reply;
    }

    std::string listing() { return rig->request(std::string(protocol::kCurves)); }
    static std::string listed(const std::string& words = "") {
        return words.empty() ? protocol::kReplyCurves
                             : std::string(protocol::kReplyCurves) + " " + words;
    }
    std::string stored() const { return rig->tmp().read(kCurvesFile); }

    // The key a forced fan's speed is in (its target, or its raised minimum) and its type.
    std::string speedKey(int fan) const {
        return "F" + std::to_string(fan) + (rig->hasModeKeys() ? "Tg" : "Mn");
    }
    // The speed the SMC is told to run fan `fan` at; none while the fan is automatic.
    std::optional<double> drivenAt(int fan) {
        if (!rig->forced(fan)) return std::nullopt;
        return SMCCodec::decode(rig->key(speedKey(fan)), rig->hasModeKeys() ? "flt " : "fpe2");
    }
    // Waits until fan `fan` is forced at a speed in [low, high].
    bool drivenWithin(int fan, double low, double high, std::chrono::milliseconds limit = kSettle) {
        return waitUntil(
            [&] {
                const std::optional<double> rpm = drivenAt(fan);
                return rpm && *rpm >= low && *rpm <= high;
            },
            limit, 100ms);
    }
    bool drivenNear(int fan, double rpm, std::chrono::milliseconds limit = kSettle) {
        return drivenWithin(fan, rpm - kTolerance, rpm + kTolerance, limit);
    }
    std::string shownSpeed(int fan) {
        const std::optional<double> rpm = drivenAt(fan);
        return rpm ? number(*rpm) + " rpm" : std::string("automatic");
    }

    // The emulator's count of calls so far.
    long calls() {
        const std::string reply = rig->emu().control("calls");
        return reply.rfind("OK ", 0) == 0 ? std::atol(reply.c_str() + 3) : -1;
    }
    // Counts the writes of fan `fan`'s keys among the calls numbered above `after`, and
    // moves `after` on to the last call seen. False when the emulator's trace no longer
    // reaches back that far (calls went unseen).
    bool countWrites(int fan, long& after, int& writes) {
        std::istringstream words(rig->emu().control("trace " + std::to_string(after)));
        std::string word;
        words >> word;  // "OK"
        const std::string prefix = "F" + std::to_string(fan);
        bool first = true;
        while (words >> word) {
            // NUMBER:PID:COMMAND:KEY
            const long callNumber = std::atol(word.c_str());
            if (first && callNumber != after + 1) return false;
            first = false;
            after = callNumber;
            const auto command = word.find(":write:");
            if (command != std::string::npos && word.compare(command + 7, 2, prefix) == 0) ++writes;
        }
        return true;
    }

    std::unique_ptr<DaemonRig> rig;
};

}  // namespace

TEST_P(CurveTest, CurveDrivesItsFanFromTheAveragedTemperature) {
    start();
    EXPECT_EQ(listing(), listed());
    const protocol::Reply reply = protocol::parseReply(rig->request(kCurve));
    ASSERT_EQ(reply.kind, ReplyKind::curve) << reply.text;
    EXPECT_EQ(reply.fan, 0);
    EXPECT_TRUE(drivenNear(0, curveSpeed(60))) << shownSpeed(0);
    EXPECT_FALSE(rig->forced(1)) << "a fan without a curve is the SMC's";

    // Warmer: the average rises over its 10 s and the fan with it.
    ASSERT_TRUE(pinCpu(70));
    EXPECT_TRUE(drivenNear(0, curveSpeed(70))) << shownSpeed(0);
    // Cooler, well past the 3 °C the speed holds for: it falls to the curve's speed at the
    // new temperature, or at most at the 3 °C above it.
    ASSERT_TRUE(pinCpu(50));
    EXPECT_TRUE(drivenWithin(0, curveSpeed(50) - kTolerance, curveSpeed(53) + kTolerance))
        << shownSpeed(0);

    // The hottest of two keys, one of them a sensor of its own held hotter than the CPU.
    const std::string cpuKey = rig->hasModeKeys() ? "TC0P" : "TC0D";
    ASSERT_TRUE(control("pin TG0P 75"));
    const std::string second = "curve 1 max:" + cpuKey + ",TG0P 40:2500 80:5000";
    ASSERT_TRUE(is(ReplyKind::curve, rig->request(second)));
    EXPECT_TRUE(drivenNear(1, curveSpeed(75))) << shownSpeed(1);
    EXPECT_TRUE(drivenWithin(0, curveSpeed(50) - kTolerance, curveSpeed(53) + kTolerance))
        << shownSpeed(0);
    EXPECT_EQ(listing(), listed(std::string(kCurve) + protocol::kReplyCurvesSeparator + second));
}

// Around a point of the curve, ±1 °C moves the speed by less than the 50 rpm a write needs
// once averaged: the fan's keys are written at most twice in a minute of it.
TEST_P(CurveTest, TemperatureWanderingAroundAPointWritesAtMostTwice) {
    start();
    ASSERT_TRUE(is(ReplyKind::curve, rig->request(kCurve)));
    ASSERT_TRUE(drivenNear(0, curveSpeed(60))) << shownSpeed(0);
    std::this_thread::sleep_for(11s);  // every reading in the average is 60 °C

    long after = calls();
    int writes = 0;
    const double wander[] = {61, 59, 60.5, 61, 59.5, 59, 60, 61, 60.5, 59};
    const Deadline minute(60s);
    for (int i = 0; !minute.passed(); ++i) {
        ASSERT_TRUE(pinCpu(wander[i % std::size(wander)]));
        std::this_thread::sleep_for(1s);
        ASSERT_TRUE(countWrites(0, after, writes)) << "calls went past the emulator's trace";
    }
    EXPECT_LE(writes, 2);
    EXPECT_TRUE(drivenNear(0, curveSpeed(60), 0ms)) << shownSpeed(0);
}

TEST_P(CurveTest, CurveOutlivesTheDaemonAndEndsOnRootsAuto) {
    start();
    ASSERT_TRUE(is(ReplyKind::curve, rig->request(kCurve)));
    ASSERT_TRUE(drivenNear(0, curveSpeed(60))) << shownSpeed(0);
    // Root's, written whole, and not writable by anyone else.
    struct stat st {};
    ASSERT_EQ(::stat(rig->tmp().path(kCurvesFile).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 022, 0u);

    ASSERT_NO_FATAL_FAILURE(stop());
    EXPECT_FALSE(rig->forced(0)) << "a stop hands the curve's fan back too";
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(listing(), listed(kCurve));
    EXPECT_TRUE(drivenNear(0, curveSpeed(60), 5s)) << shownSpeed(0);

    // Root's hand-back of every fan ends the curve, for good.
    ASSERT_TRUE(is(ReplyKind::autoAll, rig->request(protocol::kAutoAllRequest)));
    EXPECT_FALSE(rig->forced(0));
    EXPECT_EQ(listing(), listed());
    ASSERT_NO_FATAL_FAILURE(stop());
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(listing(), listed());
    std::this_thread::sleep_for(3s);
    EXPECT_FALSE(rig->forced(0));
}

// What the daemon finds stored at its start it runs from its first second, passing over lines
// that are no setting it can run; a file of another format it neither runs nor replaces.
TEST_P(CurveTest, StoredSettingsRunFromTheStartAndAForeignFileIsLeftAlone) {
    const std::string file = rig->tmp().path(kCurvesFile);
    const auto plant = [&](const std::string& text) {
        std::ofstream out(file, std::ios::trunc);
        out << text;
        out.close();
        return ::chmod(file.c_str(), 0644) == 0;
    };
    ASSERT_TRUE(plant("orvane-curves 1\n# kept by hand\n" + std::string(kCurve) +
                      "\ncurve 1 cpu 80:2500 40:5000\nfloor one 3000\nnoise\n"));
    start();
    EXPECT_TRUE(drivenNear(0, curveSpeed(60), 5s)) << shownSpeed(0);
    EXPECT_EQ(listing(), listed(kCurve));
    EXPECT_FALSE(rig->forced(1));
    ASSERT_NO_FATAL_FAILURE(stop());

    const std::string foreign = "orvane-curves 2\n" + std::string(kCurve) + "\n";
    ASSERT_TRUE(plant(foreign));
    start();
    const std::string reply = rig->request("curve 1 cpu 40:2500 80:5000");
    EXPECT_FALSE(protocol::isOK(reply)) << reply;
    std::this_thread::sleep_for(3s);
    EXPECT_FALSE(rig->forced(0));
    EXPECT_FALSE(rig->forced(1));
    EXPECT_EQ(stored(), foreign);
    EXPECT_EQ(rig->request("ping"), std::string(protocol::kReplyPong) + "2");
}

// A floor: the SMC's own control above a raised minimum, on the machines that take one.
TEST_P(CurveTest, FloorRaisesTheMinimumUnderAutomaticControlOrIsRefused) {
    start();
    const std::string factory = hexString(rig->key("F0Mn"));
    if (rig->hasModeKeys()) {
        EXPECT_TRUE(is(ReplyKind::standingInvalid, rig->request("floor 0 3000")));
        EXPECT_EQ(listing(), listed());
        EXPECT_FALSE(rig->forced(0));
        EXPECT_EQ(hexString(rig->key("F0Mn")), factory);
        return;
    }
    const protocol::Reply reply = protocol::parseReply(rig->request("floor 0 3000"));
    ASSERT_EQ(reply.kind, ReplyKind::floor) << reply.text;
    EXPECT_EQ(reply.fan, 0);
    EXPECT_EQ(reply.rpm, 3000);
    EXPECT_EQ(listing(), listed("floor 0 3000"));
    EXPECT_TRUE(drivenNear(0, 3000, 5s)) << shownSpeed(0);
    EXPECT_TRUE(is(ReplyKind::hasFloor, askAs(kOther, "set 0 4000")));

    // Under load the SMC speeds the fan up past the floor, which stays where it was put.
    ASSERT_TRUE(control("pin cpu off") && control("load 1") && control("clock step 120"));
    std::this_thread::sleep_for(2s);
    EXPECT_GT(SMCCodec::decode(rig->key("F0Ac"), "fpe2").value_or(0), 3500);
    EXPECT_TRUE(drivenNear(0, 3000, 0ms)) << shownSpeed(0);

    ASSERT_TRUE(is(ReplyKind::floorOff, rig->request("floor 0 off")));
    EXPECT_EQ(hexString(rig->key("F0Mn")), factory);
    EXPECT_EQ(listing(), listed());
}

TEST_P(CurveTest, OnlyRootAndTheOwnerSetCurvesAndNobodyElseMovesTheirFans) {
    startOwned();
    EXPECT_TRUE(is(ReplyKind::standingRefused, askAs(kOther, kCurve)));
    EXPECT_TRUE(is(ReplyKind::standingRefused, askAs(kOther, "floor 0 3000")));
    EXPECT_EQ(listing(), listed());
    EXPECT_FALSE(rig->forced(0));

    ASSERT_TRUE(is(ReplyKind::curve, askAs(kOwner, kCurve)));
    ASSERT_TRUE(drivenNear(0, curveSpeed(60))) << shownSpeed(0);
    EXPECT_TRUE(is(ReplyKind::standingRefused, askAs(kOther, "curve 0 off")));
    for (const char* request : {"set 0 3000", "auto 0"}) {
        const protocol::Reply reply = protocol::parseReply(askAs(kOther, request));
        EXPECT_EQ(reply.kind, ReplyKind::followsCurve) << request;
        EXPECT_EQ(reply.fan, 0) << request;
    }
    // Anyone's hand-back of every fan but root's leaves the curve's fan to the curve: the
    // owner's application sends one as it quits.
    ASSERT_TRUE(is(ReplyKind::set, askAs(kOther, "set 1 3000")));
    EXPECT_TRUE(is(ReplyKind::autoAll, askAs(kOther, protocol::kAutoAllRequest)));
    EXPECT_FALSE(rig->forced(1));
    EXPECT_TRUE(is(ReplyKind::autoAll, askAs(kOwner, protocol::kAutoAllRequest)));
    EXPECT_EQ(listing(), listed(kCurve));
    EXPECT_TRUE(drivenNear(0, curveSpeed(60), 0ms)) << shownSpeed(0);

    // The owner's hand-back of the fan ends the curve.
    ASSERT_TRUE(is(ReplyKind::autoFan, askAs(kOwner, "auto 0")));
    EXPECT_EQ(listing(), listed());
    EXPECT_FALSE(rig->forced(0));

    // Root's own set ends the curve and holds.
    ASSERT_TRUE(is(ReplyKind::curve, askAs(kOwner, kCurve)));
    ASSERT_TRUE(drivenNear(0, curveSpeed(60))) << shownSpeed(0);
    ASSERT_TRUE(is(ReplyKind::set, rig->request("set 0 3000")));
    EXPECT_EQ(listing(), listed());
    ASSERT_TRUE(pinCpu(75));
    std::this_thread::sleep_for(3s);
    EXPECT_TRUE(drivenNear(0, 3000, 0ms)) << shownSpeed(0);
}

TEST_P(CurveTest, BadSettingsAreRefusedAndNothingIsStored) {
    start();
    ASSERT_TRUE(is(ReplyKind::curve, rig->request("curve 1 cpu 40:2500 80:5000")));
    const std::string before = listing();
    const std::string file = stored();
    ASSERT_FALSE(file.empty());
    const std::vector<std::string> bad = {
        "curve 0 cpu",
        "curve 0 cpu 40:2500",
        "curve 0 cpu 10:2500 20:2600 30:2700 40:2800 50:2900 60:3000 70:3100 80:3200 90:3300",
        "curve 0 cpu 60:2500 50:3000",
        "curve 0 cpu 50:2500 50:3000",
        "curve 0 TZ9Z 40:2500 80:5000",
        // A key the machine has with no sensor behind it: `orvtool sensors` leaves it out.
        "curve 0 TH0P 40:2500 80:5000",
        "curve 0 max:cpu,TZ9Z 40:2500 80:5000",
        "curve 0 cpu 40:fast 80:5000",
        "curve 0 cpu warm:2500 80:5000",
        "curve 0 cpu 40:2500 80:90000",
        "curve 0 cpu 40:500 80:5000",
        "curve 7 cpu 40:2500 80:5000",
        "curve one cpu 40:2500 80:5000",
        "floor 0 fast",
        "floor 0 90000",
        "floor 7 3000",
    };
    for (const std::string& request : bad) {
        SCOPED_TRACE(request);
        const std::string reply = rig->request(request);
        // A floor on a machine with mode keys is refused before its words are looked at.
        EXPECT_TRUE(is(ReplyKind::standingInvalid, reply));
        EXPECT_EQ(listing(), before);
        EXPECT_EQ(stored(), file);
        EXPECT_FALSE(rig->forced(0));
    }
    EXPECT_EQ(rig->request("ping"), std::string(protocol::kReplyPong) + "2");
}

TEST_P(CurveTest, HeatGuardHandsTheCurvesFanBackUntilTheMachineCools) {
    start();
    // A curve too low for the heat: with mode keys the fan stays near its minimum and the
    // load heats the machine past 95 °C. Without them the SMC speeds the fan up above a raised
    // minimum, so there the CPU is held hot.
    const bool byLoad = rig->hasModeKeys();
    const double low = byLoad ? 1300 : 2500;
    const std::string curve = "curve 0 cpu 30:" + number(low) + " 100:" + number(low + 50);
    ASSERT_TRUE(is(ReplyKind::curve, rig->request(curve)));
    ASSERT_TRUE(drivenWithin(0, low - kTolerance, low + 50 + kTolerance)) << shownSpeed(0);
    ASSERT_TRUE(byLoad ? control("pin cpu off") && control("load 1") && control("clock step 180")
                       : pinCpu(97));
    ASSERT_GT(cpuNow(), 95);

    EXPECT_TRUE(waitUntil([&] { return !rig->forced(0); }));  // hot for 5 s
    std::this_thread::sleep_for(3s);
    EXPECT_FALSE(rig->forced(0)) << "the curve waits while the machine is hot";
    EXPECT_EQ(listing(), listed(curve)) << "the curve is kept";

    ASSERT_TRUE(byLoad ? control("load 0.1") && control("clock step 600") : pinCpu(80));
    ASSERT_LT(cpuNow(), 90);
    EXPECT_TRUE(drivenWithin(0, low - kTolerance, low + 50 + kTolerance)) << shownSpeed(0);
}

TEST_P(CurveTest, SleepHandsTheCurvesFanBackAndTheCurveRunsItAfterTheWake) {
    FakeLogind logind;
    ASSERT_TRUE(logind.ok()) << logind.error();
    rig->useSystemBus(logind.busAddress());
    start();
    ASSERT_TRUE(waitUntil([&] { return logind.inhibitorHeld(); }));
    ASSERT_TRUE(is(ReplyKind::curve, rig->request(kCurve)));
    ASSERT_TRUE(drivenNear(0, curveSpeed(60))) << shownSpeed(0);

    ASSERT_TRUE(logind.sleep());
    EXPECT_TRUE(waitUntil([&] { return !rig->forced(0) && !logind.inhibitorHeld(); }));
    ASSERT_TRUE(control("sleep 600"));
    ASSERT_TRUE(logind.wake());
    EXPECT_TRUE(drivenNear(0, curveSpeed(60))) << shownSpeed(0);
    EXPECT_EQ(listing(), listed(kCurve));
}

// The daemon's `status`, read back, beside the emulator's keys and what was asked of the
// daemon: a leased fan and a plain set, the SMC taking one back, a refused request, root's own
// write on the SMC, a lease in its grace, a curve; the last one through `orvtool status --json`.
TEST_P(CurveTest, StatusTellsWhoHoldsEachFanAsTheEmulatorHoldsIt) {
    using protocol::FanControl;
    const std::int64_t before = std::time(nullptr);
    start();
    const auto status = [&]() -> std::optional<protocol::StatusReport> {
        const protocol::Reply reply = protocol::parseReply(rig->request("status"));
        if (reply.kind != ReplyKind::status) return std::nullopt;
        return protocol::parseStatus(reply.text);
    };
    const std::string type = rig->hasModeKeys() ? "flt " : "fpe2";
    const auto keyRpm = [&](int fan, const char* suffix) {
        return SMCCodec::decode(rig->key("F" + std::to_string(fan) + suffix), type);
    };
    // The limits are the factory ones, also where forcing raises the minimum key.
    const std::optional<double> minimums[] = {keyRpm(0, "Mn"), keyRpm(1, "Mn")};
    // Every reading as the emulator holds it (its clock is frozen: nothing moves meanwhile).
    const auto readingsMatch = [&](const protocol::StatusReport& report) {
        ASSERT_EQ(report.fans.size(), 2u);
        for (const protocol::FanState& f : report.fans) {
            SCOPED_TRACE(f.fan);
            EXPECT_EQ(f.forced, rig->forced(f.fan));
            EXPECT_EQ(f.current, keyRpm(f.fan, "Ac"));
            EXPECT_EQ(f.minimum, minimums[f.fan]);
            EXPECT_EQ(f.maximum, keyRpm(f.fan, "Mx"));
            if (f.forced) {
                EXPECT_EQ(f.target, drivenAt(f.fan));
            }
        }
    };

    SocketClient holder = rig->connect();
    ASSERT_TRUE(is(ReplyKind::hold, holder.request("hold")));
    ASSERT_TRUE(is(ReplyKind::set, holder.request("set 0 3000")));
    ASSERT_TRUE(is(ReplyKind::set, askAs(kOther, "set 1 3500")));
    ASSERT_TRUE(is(ReplyKind::quitRefused, askAs(kOther, "quit")));
    std::optional<protocol::StatusReport> report = status();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->pid, rig->daemon().pid());
    EXPECT_GE(report->started, before);
    EXPECT_LE(report->started, std::time(nullptr));
    EXPECT_FALSE(report->ownerUid) << "started by root alone";
    EXPECT_EQ(report->leaseGrace, 10);
    readingsMatch(*report);
    const protocol::FanState& leased = report->fans[0];
    EXPECT_EQ(leased.control, FanControl::lease);
    EXPECT_EQ(leased.uid, 0);
    EXPECT_TRUE(leased.lease);
    EXPECT_EQ(leased.target, 3000);
    const protocol::FanState& set = report->fans[1];
    EXPECT_EQ(set.control, FanControl::set);
    EXPECT_EQ(set.uid, long(kOther));
    EXPECT_FALSE(set.lease);
    EXPECT_EQ(report->leases, (std::vector<protocol::LeaseState>{{0, 1, {0}, std::nullopt}}));
    EXPECT_FALSE(report->guard.tripped);
    ASSERT_TRUE(report->guard.celsius);
    EXPECT_GE(*report->guard.celsius, cpuNow() - 0.01) << "the hotter of CPU and GPU";
    EXPECT_EQ(report->counters.refusedRequests, 1u);
    EXPECT_EQ(report->counters.setAgainChange, 0u);

    // The SMC takes fan 1 back; the daemon sets it again, once.
    ASSERT_TRUE(control("takeback 1"));
    ASSERT_TRUE(waitUntil([&] { return rig->forced(1); }, 3s));
    report = status();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->counters.setAgainChange, 1u);
    EXPECT_EQ(report->fans[1].control, FanControl::set);

    // Root forces fan 1 on the SMC itself: the daemon lets it be, and it is nobody's set.
    ASSERT_EQ(rig->tool({"set", "1", "4000"}).status, 0);
    ASSERT_TRUE(waitUntil([&] {
        report = status();
        return report && report->fans.size() == 2 && !report->fans[1].uid;
    }));
    EXPECT_EQ(report->fans[1].control, FanControl::set);
    EXPECT_EQ(report->fans[1].target, 4000);
    readingsMatch(*report);

    // The holder leaves: its fan waits out the grace.
    holder.close();
    ASSERT_TRUE(waitUntil([&] {
        report = status();
        return report && report->leases.size() == 1 && report->leases[0].connections == 0;
    }));
    ASSERT_TRUE(report->leases[0].graceLeft);
    EXPECT_GT(*report->leases[0].graceLeft, 0);
    EXPECT_LE(*report->leases[0].graceLeft, 10);
    EXPECT_EQ(report->leases[0].fans, std::vector<int>{0});
    EXPECT_EQ(report->fans[0].control, FanControl::lease);

    // A curve runs fan 0; the tool prints the object as the daemon sent it.
    ASSERT_TRUE(is(ReplyKind::curve, rig->request(kCurve)));
    const ProcessResult json = rig->tool({"status", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    report = protocol::parseStatus(json.out);
    ASSERT_TRUE(report) << json.out;
    EXPECT_EQ(report->fans[0].control, FanControl::curve);
    EXPECT_EQ(report->fans[0].setting, kCurve);
    EXPECT_FALSE(report->fans[0].uid);
    EXPECT_EQ(report->counters.refusedRequests, 1u);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, CurveTest,
                         ::testing::Values(machines::kModeKeys, machines::kRaisedMinimum),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return machines::hasModeKeys(info.param)
                                        ? std::string("ModeKeys")
                                        : std::string("RaisedMinimum");
                         });
