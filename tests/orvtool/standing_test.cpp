// The daemon's curves and floors on fake fans and a fake clock, with the real keeper: how a
// curve follows its source (the average, the 3 °C fall, the 50 rpm step), how it yields to
// the heat guard, a sleep and a fan taken from it, which requests it refuses, and what the
// store keeps across a restart.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "KeeperRig.h"
#include "Request.h"
#include "StandingFans.h"

namespace {

using namespace std::chrono_literals;
using keeper_rig::Clock;
using orvtool::StandingFans;
using orvtool::StandingStore;
using protocol::ReplyKind;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class StandingTest : public keeper_rig::KeeperRig {
  protected:
    StandingTest() {
        char pattern[] = "/tmp/orvane-standing-XXXXXX";
        dir = ::mkdtemp(pattern);
        standing = make();
        alsoTick = [this](Clock::time_point t) { standing->tick(t); };
    }
    ~StandingTest() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::unique_ptr<StandingFans> make() {
        auto s = std::make_unique<StandingFans>(
            fans, keeper, log, StandingStore(dir),
            StandingFans::Hooks{[this](int fan) { forcing.insert(fan); },
                                [this](int fan) { handedBack.insert(fan); }});
        s->start(now());
        return s;
    }
    protocol::Reply ask(const std::string& line, bool mayChange = true) {
        return standing->serve(orvtool::parseRequest(line), mayChange, now());
    }
    // The speed the SMC holds fan 0 at, or none when it is automatic.
    std::optional<std::int64_t> held(int fan = 0) {
        const auto& f = fans.fans.at(fan);
        return f.forced ? std::optional(f.target) : std::nullopt;
    }
    std::size_t writesTo(std::chrono::milliseconds until) {
        const std::size_t before = fans.sets.size();
        runTo(until);
        return fans.sets.size() - before;
    }

    std::string dir;
    std::unique_ptr<StandingFans> standing;
    std::set<int> forcing, handedBack;
};

TEST_F(StandingTest, FollowsTheTenSecondAverageInStepsOfFiftyRpm) {
    fans.celsius = 60;
    ASSERT_EQ(ask("curve 0 cpu 40:2000 80:6000").kind, ReplyKind::curve);
    runTo(200ms);
    EXPECT_EQ(held(), 4000) << "written in its first second";
    EXPECT_TRUE(forcing.count(0));

    // A jump to 70 °C moves the average over ten seconds, not at once.
    fans.celsius = 70;
    runTo(3s);
    ASSERT_TRUE(held());
    EXPECT_LT(*held(), 4900);
    const std::size_t writes = writesTo(13s);
    EXPECT_NEAR(static_cast<double>(*held()), 5000, 50);
    EXPECT_LE(writes, 10u);
    for (std::size_t i = 1; i < fans.sets.size(); ++i)
        EXPECT_EQ(fans.sets[i], 0);
}

TEST_F(StandingTest, WanderingAroundAPointAndFallingLessThanThreeDegreesHoldsTheSpeed) {
    fans.celsius = 60;
    ask("curve 0 cpu 40:2000 80:6000");
    runTo(15s);
    // ±1 °C around 60 for a minute.
    std::size_t writes = 0;
    for (int second = 0; second < 60; ++second) {
        fans.celsius = second % 2 ? 61 : 59;
        writes += writesTo(at + 1s);
    }
    EXPECT_LE(writes, 2u);
    // 2 °C below where it rose: held; 4 °C below: down, to where the average fell past 3 °C.
    fans.celsius = 58.5;
    EXPECT_EQ(writesTo(at + 20s), 0u);
    fans.celsius = 56;
    runTo(at + 20s);
    EXPECT_LT(*held(), 4000);
    EXPECT_GE(*held(), 3600);
}

TEST_F(StandingTest, GuardTakesTheFanAndTheCurveTakesItBackOnceCool) {
    fans.celsius = 60;
    ask("curve 0 cpu 40:2000 80:3000");
    runTo(2s);
    ASSERT_TRUE(held());
    fans.celsius = 96;
    runTo(10s);
    EXPECT_TRUE(keeper.guardTripped());
    EXPECT_FALSE(held()) << "handed back to the SMC's control";
    EXPECT_EQ(writesTo(20s), 0u);
    fans.celsius = 85;
    runTo(23s);
    EXPECT_FALSE(keeper.guardTripped());
    EXPECT_TRUE(held());
}

TEST_F(StandingTest, SleepHandsBackAndTheCurveRunsAfterTheWake) {
    fans.celsius = 60;
    ask("curve 0 cpu 40:2000 80:6000");
    runTo(2s);
    keeper.willSleep(now());
    EXPECT_FALSE(held());
    EXPECT_EQ(writesTo(10s), 0u);
    keeper.hasWoken(now());
    standing->hasWoken();
    fans.celsius = 70;
    runTo(25s);
    EXPECT_NEAR(static_cast<double>(held().value_or(0)), 5000, 50);
}

TEST_F(StandingTest, AFanTakenFromTheCurveIsTakenAgainButNeverFoughtForEverySecond) {
    fans.celsius = 60;
    ask("curve 0 cpu 40:2000 80:6000");
    runTo(2s);
    // Root forced it at another speed on the SMC itself: the curve takes it again.
    fans.fans[0].target = 2500;
    runTo(14s);
    EXPECT_EQ(held(), 4000);
    // A fan whose writes fail: one attempt in ten seconds, not one a second.
    fans.fans[0].setRaises = true;
    fans.takeBack(0);
    EXPECT_LE(writesTo(44s), 6u);
}

TEST_F(StandingTest, ASourceWithoutReadingsLeavesTheFanToTheSMCUntilItReadsAgain) {
    ask("curve 0 TC0P 40:2000 80:6000");
    runTo(2s);
    ASSERT_TRUE(held());
    fans.sensors["TC0P"] = std::nullopt;
    runTo(14s);
    EXPECT_FALSE(held());
    EXPECT_TRUE(handedBack.count(0));
    fans.sensors["TC0P"] = 50;
    runTo(16s);
    EXPECT_EQ(held(), 3000);
}

TEST_F(StandingTest, OffHandsTheFanBackAndFloorsNeedAMachineWithoutModeKeys) {
    fans.celsius = 60;
    ask("curve 0 cpu 40:2000 80:6000");
    runTo(2s);
    EXPECT_EQ(ask("floor 0 off").kind, ReplyKind::floorOff);
    EXPECT_TRUE(held()) << "floor off leaves a curve alone";
    EXPECT_EQ(ask("curve 0 off").kind, ReplyKind::curveOff);
    EXPECT_FALSE(held());
    EXPECT_EQ(writesTo(10s), 0u);

    EXPECT_EQ(ask("floor 1 2500").kind, ReplyKind::standingInvalid);
    fans.modeKeys = false;
    EXPECT_EQ(ask("floor 1 2500").kind, ReplyKind::floor);
    runTo(11s);
    EXPECT_EQ(held(1), 2500);
}

// Every request that must be refused leaves the store as it was.
class StandingRefusalTest : public StandingTest,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(StandingRefusalTest, IsRefusedAndStoresNothing) {
    ASSERT_EQ(ask("curve 1 cpu 40:2000 80:6000").kind, ReplyKind::curve);
    const std::string stored = readFile(dir + "/curves");
    EXPECT_FALSE(protocol::isOK(ask(GetParam()).kind)) << GetParam();
    EXPECT_EQ(readFile(dir + "/curves"), stored);
    EXPECT_EQ(ask("curves").text, "curve 1 cpu 40:2000 80:6000");
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, StandingRefusalTest,
    ::testing::Values("curve 0 cpu 40:2000",
                      "curve 0 cpu 1:2000 2:2000 3:2000 4:2000 5:2000 "
                      "6:2000 7:2000 8:2000 9:2000",
                      "curve 0 cpu 60:2000 50:3000", "curve 0 TX9Z 40:2000 80:6000",
                      "curve 0 cpu forty:2000 80:6000", "curve 0 cpu 40:2000 80:9000",
                      "curve 0 cpu 40:800 80:6000", "curve 7 cpu 40:2000 80:6000",
                      "curve 0 max: 40:2000 80:6000", "floor 0 2500", "floor 0 abc", "curve",
                      "curve 1 off off"));

TEST_F(StandingTest, OnlyRootOrTheOwnerMayChangeButAnyoneMayList) {
    EXPECT_EQ(ask("curve 0 cpu 40:2000 80:6000", false).kind, ReplyKind::standingRefused);
    EXPECT_EQ(ask("curve 0 off", false).kind, ReplyKind::standingRefused);
    EXPECT_EQ(ask("curves", false).kind, ReplyKind::curves);
    EXPECT_FALSE(standing->of(0));
}

TEST_F(StandingTest, StoredSettingsRunAgainAfterARestart) {
    fans.modeKeys = false;
    ask("curve 0 max:TC0P,gpu 40.5:2000 80:6000");
    ask("floor 1 2500");
    EXPECT_EQ(readFile(dir + "/curves"),
              "orvane-curves 1\n"
              "# curve <fan> <source> <t>:<rpm> ... | floor <fan> "
              "<rpm>; written by orvtool serve\n"
              "curve 0 max:TC0P,gpu 40.5:2000 80:6000\n"
              "floor 1 2500\n");
    standing = make();
    EXPECT_EQ(standing->of(0), protocol::Standing::Kind::curve);
    EXPECT_EQ(standing->of(1), protocol::Standing::Kind::floor);
    runTo(1s);
    EXPECT_EQ(held(1), 2500);
    EXPECT_TRUE(held(0));
}

TEST_F(StandingTest, AFileOfAnotherFormatIsNeitherRunNorReplaced) {
    const std::string other = "orvane-curves 2\ncurve 0 cpu 40:2000 80:6000\n";
    std::ofstream(dir + "/curves") << other;
    standing = make();
    EXPECT_FALSE(standing->of(0));
    EXPECT_FALSE(protocol::isOK(ask("curve 1 cpu 40:2000 80:6000").kind));
    EXPECT_EQ(readFile(dir + "/curves"), other);
}

TEST_F(StandingTest, ADirectoryOthersMayWriteOrALinkIsNeverUsed) {
    ::chmod(dir.c_str(), 0777);
    standing = make();
    EXPECT_FALSE(protocol::isOK(ask("curve 0 cpu 40:2000 80:6000").kind));
    ::chmod(dir.c_str(), 0755);
    ASSERT_EQ(::symlink("/etc/passwd", (dir + "/curves").c_str()), 0);
    standing = make();
    EXPECT_FALSE(protocol::isOK(ask("curve 0 cpu 40:2000 80:6000").kind));
    struct stat st {};
    ASSERT_EQ(::lstat((dir + "/curves").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

}  // namespace
