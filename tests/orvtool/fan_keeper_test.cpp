// The keeper's rules on a fake clock and fake fans: when a fan the SMC changed back is set
// again, when it is given up, how a failed hand-back is retried, the delay after a wake
// (reported or found by the slept-time clock) and the heat guard.
#include "KeeperRig.h"

namespace {

using namespace std::chrono_literals;
using keeper_rig::Clock;
using keeper_rig::FakeFans;
using FanKeeperTest = keeper_rig::KeeperRig;

}  // namespace

TEST_F(FanKeeperTest, NothingKeptMeansNoChecksAndNoReads) {
    EXPECT_FALSE(keeper.nextDue());
    runTo(10s);
    EXPECT_TRUE(fans.sets.empty());
    EXPECT_EQ(fans.temperatureReads, 0);

    // Forced and then handed back: nothing is kept, nothing is set again later.
    force(0, 3000);
    keeper.handBackAsked(0, true, now());
    fans.takeBack(0);
    runTo(20s);
    EXPECT_TRUE(fans.sets.empty());
    EXPECT_FALSE(keeper.nextDue());
}

TEST_F(FanKeeperTest, FanTakenBackIsSetAgainWithinTheNextCheck) {
    force(0, 3000);
    force(1, 4000);
    runTo(3s);
    EXPECT_TRUE(fans.sets.empty()) << "held fans are only read";

    fans.takeBack(0);
    const std::vector<long> times = setTimesTo(5500ms);
    ASSERT_EQ(times.size(), 1u);
    EXPECT_LE(times[0], 4000);
    EXPECT_EQ(fans.sets, std::vector<int>{0});
    EXPECT_EQ(keeper.keptAt(0), 3000);
    EXPECT_EQ(fans.fans[0].target, 3000);

    // Taken back again soon after: set again, but not before 5 s after the last attempt.
    fans.sets.clear();
    fans.takeBack(0);
    const std::vector<long> again = setTimesTo(20s);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_GE(again[0] - times[0], 5000);
    EXPECT_LE(again[0] - times[0], 6000);
    EXPECT_TRUE(released.empty());
}

// A write that raises and one the SMC ignores silently both count as failed attempts.
class GiveUpTest : public FanKeeperTest, public ::testing::WithParamInterface<bool> {};

TEST_P(GiveUpTest, ThreeFailedAttemptsFiveSecondsApartGiveTheFanUp) {
    force(0, 3000);
    force(1, 4000);
    runTo(1s);
    fans.takeBack(0);
    (GetParam() ? fans.fans[0].setRaises : fans.fans[0].ignoreWrites) = true;

    const std::vector<long> times = setTimesTo(30s);
    ASSERT_EQ(times.size(), 3u);
    EXPECT_LE(times[0], 2000);
    EXPECT_GE(times[1] - times[0], 5000);
    EXPECT_GE(times[2] - times[1], 5000);
    EXPECT_EQ(released, std::set<int>{0});
    EXPECT_FALSE(keeper.keptAt(0));
    EXPECT_EQ(keeper.keptAt(1), 4000) << "the other fan is kept on";
    EXPECT_EQ(fans.sets, (std::vector<int>{0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(WriteRaisesOrIsIgnored, GiveUpTest, ::testing::Bool());

TEST_F(FanKeeperTest, FailedHandBackIsRetriedEveryFiveSecondsUntilItHolds) {
    force(0, 3000);
    fans.fans[0].handBackRaises = true;
    keeper.handedBackElsewhere(0, false, now());  // a lease's grace ended, the write failed
    EXPECT_FALSE(keeper.keptAt(0));
    EXPECT_TRUE(keeper.handBackOutstanding(0));

    runTo(11s);
    EXPECT_EQ(fans.handBacks.size(), 2u) << "tried at 5 s and 10 s";
    EXPECT_TRUE(released.empty());
    fans.fans[0].handBackRaises = false;
    runTo(16s);
    EXPECT_EQ(released, std::set<int>{0});
    EXPECT_FALSE(keeper.handBackOutstanding(0));
    EXPECT_FALSE(fans.fans[0].forced);
    EXPECT_TRUE(fans.sets.empty()) << "a fan handed back is never set again";
    const std::size_t tries = fans.handBacks.size();
    runTo(30s);
    EXPECT_EQ(fans.handBacks.size(), tries);
}

TEST_F(FanKeeperTest, FailedAutoRetriesEveryFanThatMayBeForced) {
    force(0, 3000);
    fans.fans[0].handBackRaises = true;
    keeper.allHandBackAsked(false, {0, 1}, now());
    runTo(6s);
    // Fan 1 was not forced: it reads automatic at its first retry and is done.
    EXPECT_FALSE(keeper.handBackOutstanding(1));
    EXPECT_TRUE(keeper.handBackOutstanding(0));
    EXPECT_TRUE(fans.sets.empty());
}

TEST_F(FanKeeperTest, SleepHandsBackAndWakeSetsAgainAfterThreeQuietSeconds) {
    force(0, 3000);
    force(1, 6000);
    runTo(2s);
    keeper.willSleep(now());
    EXPECT_FALSE(fans.fans[0].forced);
    EXPECT_FALSE(fans.fans[1].forced);
    runTo(10s);
    EXPECT_TRUE(fans.sets.empty()) << "nothing is set while asleep";

    keeper.hasWoken(now());
    runTo(12s);
    // A second wake event (an early one is often spurious) starts the 3 s again.
    keeper.hasWoken(now());
    const auto woke = at;
    const std::vector<long> times = setTimesTo(20s);
    ASSERT_EQ(times.size(), 1u);
    EXPECT_GE(times[0] - woke.count(), 3000);
    EXPECT_LE(times[0] - woke.count(), 3200);
    EXPECT_EQ(fans.reconnects, 1) << "the SMC is opened anew once";
    EXPECT_TRUE(fans.fans[0].forced && fans.fans[1].forced);
    EXPECT_EQ(fans.fans[0].target, 3000);
    EXPECT_EQ(fans.fans[1].target, 6000);
}

TEST_F(FanKeeperTest, WakeNoEventReportedIsFoundByTheSleptTime) {
    force(0, 3000);
    runTo(2s);
    slept += 0.3;  // clock jitter is no sleep
    runTo(4s);
    EXPECT_EQ(fans.reconnects, 0);

    slept += 600;  // ten minutes asleep; the SMC took the fan back
    fans.takeBack(0);
    const auto at4 = at;
    const auto found = at + 1s;  // by the next check at the latest
    const std::vector<long> times = setTimesTo(12s);
    ASSERT_EQ(times.size(), 1u);
    EXPECT_GE(times[0] - at4.count(), 3000) << "not before the wake delay";
    EXPECT_LE(times[0] - found.count(), 3200);
    EXPECT_EQ(fans.reconnects, 1);
    EXPECT_TRUE(fans.fans[0].forced);
}

TEST_F(FanKeeperTest, GuardHandsBackLowFansAfterFiveHotSecondsAndRefusesLowSetsUntilCool) {
    force(0, 1200);  // at its minimum, for quiet
    force(1, 6000);  // at its maximum
    runTo(2s);
    fans.celsius = 96;
    runTo(6s);
    EXPECT_TRUE(fans.fans[0].forced) << "hot for less than 5 s";
    EXPECT_FALSE(keeper.guardTripped());
    runTo(8s);
    EXPECT_TRUE(keeper.guardTripped());
    EXPECT_FALSE(fans.fans[0].forced);
    EXPECT_EQ(released, std::set<int>{0});
    EXPECT_FALSE(keeper.keptAt(0));
    EXPECT_EQ(keeper.keptAt(1), 6000) << "a fan at its maximum stays";

    EXPECT_TRUE(keeper.refusesSet(0, 2000, now()));
    EXPECT_TRUE(keeper.refusesSet(1, 0, now())) << "clamped to the minimum";
    EXPECT_FALSE(keeper.refusesSet(0, 6000, now()));
    EXPECT_FALSE(keeper.refusesSet(0, 90000, now())) << "clamped to the maximum";

    fans.celsius = 92;  // cooler, not cool
    runTo(12s);
    EXPECT_TRUE(keeper.refusesSet(0, 2000, now()));
    fans.celsius = 89;
    runTo(14s);
    EXPECT_FALSE(keeper.guardTripped());
    EXPECT_FALSE(keeper.refusesSet(0, 2000, now()));
    EXPECT_FALSE(fans.fans[0].forced) << "a fan the guard handed back is not set again";
}

TEST_F(FanKeeperTest, GuardWithHeatSpellsAndMissingReadings) {
    force(0, 2000);
    // Hot spells shorter than 5 s do not add up.
    for (int spell = 0; spell < 3; ++spell) {
        fans.celsius = 97;
        runTo(at + 4s);
        fans.celsius = 80;
        runTo(at + 2s);
    }
    EXPECT_FALSE(keeper.guardTripped());
    // Without a reading there is no guard.
    fans.celsius.reset();
    runTo(at + 10s);
    EXPECT_FALSE(keeper.guardTripped());
    EXPECT_TRUE(fans.fans[0].forced);
    EXPECT_FALSE(keeper.refusesSet(0, 2000, now()));
}

TEST_F(FanKeeperTest, IdleKeeperReadsTheTemperatureOnlyForALowSet) {
    slept = 120;  // the machine slept while nothing was kept
    fans.celsius = 99;
    EXPECT_FALSE(keeper.refusesSet(0, 6000, now()));
    EXPECT_EQ(fans.temperatureReads, 0) << "a set at the maximum needs no reading";
    EXPECT_TRUE(keeper.refusesSet(0, 3000, now())) << "idle: already hot trips at once";
    ASSERT_TRUE(keeper.nextDue());
    fans.celsius = 85;
    runTo(3s);
    EXPECT_FALSE(keeper.refusesSet(0, 3000, now()));
    EXPECT_EQ(fans.reconnects, 0) << "no wake was made up from an old slept time";
}
