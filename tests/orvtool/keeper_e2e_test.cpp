// The daemon keeps the fans as they were asked, on the emulator and both machine families:
// a fan the SMC took back is set again, a write that keeps failing gives the fan up, a failed
// lease hand-back is retried until it holds, the fans go back before a sleep logind announces
// and are set again after the wake, and the heat guard hands back a low fan and refuses low
// speeds while the machine is hot.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "../../orvtool/serve/ServeTexts.h"
#include "ControlProtocol.h"
#include "DaemonRig.h"
#include "Deadline.h"
#include "FakeLogind.h"
#include "Paths.h"

namespace {

using namespace std::chrono_literals;

constexpr int kLow = 2500;  // above both families' minimums, below their maximums

std::string setReply(int fan, long rpm) {
    return protocol::kReplySet + std::to_string(fan) + protocol::kReplySetRPM + std::to_string(rpm);
}
// Whether `reply` forced fan `fan` at whatever speed the daemon clamped to.
bool isSetReply(const std::string& reply, int fan) {
    const std::string head = protocol::kReplySet + std::to_string(fan) + protocol::kReplySetRPM;
    return reply.rfind(head, 0) == 0;
}

class KeeperTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "private mount namespaces need root";
        rig = std::make_unique<DaemonRig>(ORVTOOL_BINARY, GetParam());
        ASSERT_TRUE(rig->ok()) << rig->error();
        // Temperatures and speeds keep still: the daemon's own clock is the one that runs.
        ASSERT_TRUE(control("clock freeze"));
    }
    void start() { ASSERT_TRUE(rig->start()) << rig->daemon().err(100ms); }

    bool control(const std::string& line) { return rig->emu().control(line).rfind("OK", 0) == 0; }
    // The key that forces fan `fan`: its mode byte, or its minimum on machines without.
    std::string forcingKey(int fan) const {
        return "F" + std::to_string(fan) + (rig->hasModeKeys() ? "Md" : "Mn");
    }
    bool markPresent() {
        struct stat st;
        return ::lstat(rig->tmp().path(paths::kForcedMarkPath).c_str(), &st) == 0;
    }
    // Reads the daemon's standard error until a line containing `text`; false at its end or
    // when `limit` passes.
    bool logged(const std::string& text, std::chrono::milliseconds limit = kWaitLimit) {
        const Deadline deadline(limit);
        while (!deadline.passed()) {
            const std::string line = rig->logLine();
            if (line.find(text) != std::string::npos) return true;
            if (line.empty() && !rig->daemon().running()) return false;
        }
        return false;
    }

    std::unique_ptr<DaemonRig> rig;
};

}  // namespace

TEST_P(KeeperTest, FanTheSmcTookBackIsSetAgainWithinTwoSeconds) {
    start();
    ASSERT_EQ(rig->request("set 0 3000"), setReply(0, 3000));
    ASSERT_EQ(rig->request("set 1 4000"), setReply(1, 4000));
    const auto forcedBytes = rig->key(forcingKey(0));
    ASSERT_TRUE(control("takeback 0"));
    EXPECT_FALSE(rig->forced(0));
    EXPECT_TRUE(waitUntil([&] { return rig->forced(0); }, 2s));
    EXPECT_EQ(rig->key(forcingKey(0)), forcedBytes);
    EXPECT_TRUE(rig->forced(1));
    // Handed back by its user: the SMC's from then on, never set again.
    ASSERT_EQ(rig->request("auto 0"), std::string(protocol::kReplyAutoFan) + "0");
    std::this_thread::sleep_for(2s);
    EXPECT_FALSE(rig->forced(0));
}

TEST_P(KeeperTest, ThreeFailedAttemptsGiveTheFanUpAndItsMarkAndLeaseGo) {
    start();
    SocketClient holder = rig->connect();
    ASSERT_EQ(holder.request("hold"), std::string(protocol::kReplyHold) + "10");
    ASSERT_EQ(holder.request("set 0 3000"), setReply(0, 3000));
    ASSERT_TRUE(markPresent());

    ASSERT_TRUE(control("fault " + forcingKey(0) + " write e00002bc"));
    ASSERT_TRUE(control("takeback 0"));
    // Attempts 5 s apart: the third fails some 11 s after the fan was taken back.
    EXPECT_TRUE(waitUntil([&] { return !markPresent(); }, 20s));
    ASSERT_TRUE(control("fault clear"));
    // Left to the SMC: not set again, and the lease's end hands nothing back.
    holder.close();
    std::this_thread::sleep_for(6s);
    EXPECT_FALSE(rig->forced(0));
    EXPECT_FALSE(markPresent());
    EXPECT_EQ(rig->request("ping"), std::string(protocol::kReplyPong) + "2");
}

TEST_P(KeeperTest, FailedLeaseHandBackIsRetriedUntilItHolds) {
    start();
    {
        SocketClient holder = rig->connect();
        ASSERT_EQ(holder.request("hold"), std::string(protocol::kReplyHold) + "10");
        ASSERT_EQ(holder.request("set 1 3000"), setReply(1, 3000));
        ASSERT_TRUE(control("fault " + forcingKey(1) + " write e00002bc"));
    }
    // The grace ends 10 s after the holder left; its hand-back fails.
    ASSERT_TRUE(logged(texts::kServeLogLeaseFailed, 20s));
    EXPECT_TRUE(rig->forced(1));
    EXPECT_TRUE(markPresent());
    ASSERT_TRUE(control("fault clear"));
    EXPECT_TRUE(waitUntil([&] { return !rig->forced(1); }, 7s));
    EXPECT_TRUE(waitUntil([&] { return !markPresent(); }, 2s));
}

TEST_P(KeeperTest, FansGoBackBeforeSleepAndAreSetAgainThreeSecondsAfterTheWake) {
    FakeLogind logind;
    ASSERT_TRUE(logind.ok()) << logind.error();
    rig->useSystemBus(logind.busAddress());
    start();
    ASSERT_TRUE(waitUntil([&] { return logind.inhibitorHeld(); }));
    ASSERT_EQ(rig->request("set 0 3000"), setReply(0, 3000));
    const auto forcedBytes = rig->key(forcingKey(0));

    ASSERT_TRUE(logind.sleep());
    // Handed back, then the sleep is let go on.
    EXPECT_TRUE(waitUntil([&] { return !rig->forced(0) && !logind.inhibitorHeld(); }));
    EXPECT_FALSE(rig->forced(0));
    ASSERT_TRUE(control("sleep 600"));

    ASSERT_TRUE(logind.wake());
    const Deadline early(2500ms);
    while (!early.passed()) {
        ASSERT_FALSE(rig->forced(0)) << "set again before the wake's 3 s";
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(waitUntil([&] { return rig->forced(0); }, 2500ms)) << "within 5 s of the wake";
    EXPECT_EQ(rig->key(forcingKey(0)), forcedBytes);
    EXPECT_FALSE(rig->forced(1)) << "what was not forced is not forced after the wake";
}

TEST_P(KeeperTest, GuardHandsBackALowFanWhenHotAndRefusesLowSpeedsUntilCool) {
    start();
    // With mode keys a fan forced at its minimum stays there, and load heats the machine past
    // the guard. Without them forcing only raises the minimum and the SMC still speeds the
    // fan up as it warms, so the heat there comes from the GPU sensor itself.
    const bool byLoad = rig->hasModeKeys();
    const std::string low = "set 0 " + std::to_string(kLow);
    ASSERT_TRUE(isSetReply(rig->request(byLoad ? "set 0 0" : low), 0));
    ASSERT_TRUE(isSetReply(rig->request("set 1 99999"), 1));
    ASSERT_TRUE(byLoad ? control("load 1") && control("clock step 180")
                       : control("set TG0P 6000"));  // 96 °C ("sp78")

    EXPECT_TRUE(waitUntil([&] { return !rig->forced(0); }));
    EXPECT_TRUE(rig->forced(1)) << "a fan at its maximum is left forced";
    EXPECT_EQ(rig->request(low), protocol::kReplyTooHot);
    EXPECT_FALSE(rig->forced(0));
    EXPECT_TRUE(isSetReply(rig->request("set 0 99999"), 0)) << "the maximum is always allowed";
    EXPECT_TRUE(rig->forced(0));

    ASSERT_TRUE(byLoad ? control("load 0.1") && control("clock step 600")
                       : control("set TG0P 5000"));  // 80 °C
    EXPECT_TRUE(waitUntil([&] { return rig->request(low) == setReply(0, kLow); }, 3s));
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, KeeperTest,
                         ::testing::Values(machines::kModeKeys, machines::kRaisedMinimum),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param).substr(0, 5) == "recen"
                                        ? std::string("ModeKeys")
                                        : std::string("RaisedMinimum");
                         });
