// The books of the leases: which fans a lease covers, when a user's grace starts, ends or
// is cut short by a new lease, and what is then due to be handed back.
#include <gtest/gtest.h>

#include "LeaseTable.h"

using orvtool::LeaseTable;
using namespace std::chrono_literals;

namespace {

using Fans = std::vector<LeaseTable::Fan>;

const LeaseTable::Clock::time_point t0{};

// The fans due for `uid` at `now`; fails when another user is due as well.
Fans dueFor(LeaseTable& table, long uid, LeaseTable::Clock::time_point now) {
    Fans fans;
    for (const LeaseTable::Due& due : table.takeDue(now)) {
        EXPECT_EQ(due.uid, uid);
        fans = due.fans;
    }
    return fans;
}

}  // namespace

TEST(LeaseTableTest, FansOfALeaseHolderAreDueOnlyAfterTheGraceOfItsLastLease) {
    LeaseTable table(10s);
    table.open(1000);
    table.open(1000);  // a second lease of the same user
    table.forced(0, 1000, 4000);
    table.forced(1, 1000, 3000);
    table.forced(1, 1000, 3500);  // forced again: the latest speed counts
    EXPECT_EQ(table.coveredBy(1000), (Fans{{0, 4000}, {1, 3500}}));

    EXPECT_FALSE(table.close(1000, t0));  // one lease is still open
    EXPECT_TRUE(table.holds(1000));
    EXPECT_EQ(table.nextDue(), std::nullopt);
    EXPECT_TRUE(table.close(1000, t0 + 1s));
    EXPECT_FALSE(table.holds(1000));
    EXPECT_EQ(table.nextDue(), t0 + 11s);

    EXPECT_TRUE(table.takeDue(t0 + 11s - 1ms).empty());
    EXPECT_EQ(dueFor(table, 1000, t0 + 11s), (Fans{{0, 4000}, {1, 3500}}));
    // Handed over once: nothing is covered or due any more.
    EXPECT_TRUE(table.coveredBy(1000).empty());
    EXPECT_TRUE(table.takeDue(t0 + 1h).empty());
    EXPECT_EQ(table.nextDue(), std::nullopt);
}

TEST(LeaseTableTest, ANewLeaseWithinTheGraceKeepsTheFansCovered) {
    LeaseTable table(10s);
    table.open(1000);
    table.forced(0, 1000, 4000);
    EXPECT_TRUE(table.close(1000, t0));
    EXPECT_TRUE(table.open(1000));  // the application restarted
    EXPECT_EQ(table.nextDue(), std::nullopt);
    EXPECT_TRUE(table.takeDue(t0 + 1h).empty());
    EXPECT_EQ(table.coveredBy(1000), (Fans{{0, 4000}}));
    // Its next end starts a grace of its own.
    EXPECT_TRUE(table.close(1000, t0 + 1h));
    EXPECT_EQ(dueFor(table, 1000, t0 + 1h + 10s), (Fans{{0, 4000}}));
}

TEST(LeaseTableTest, FansForcedWithoutALeaseOrHandedBackAreNotCovered) {
    LeaseTable table(10s);
    table.forced(1, 1000, 3000);  // a script, before any lease
    table.open(1000);
    table.forced(0, 1000, 4000);
    table.open(2000);
    table.forced(1, 2000, 2500);  // another user's
    EXPECT_EQ(table.coveredBy(1000), (Fans{{0, 4000}}));

    // The lease holder's fan forced again by a user without a lease passes to that forcing.
    table.forced(0, 3000, 5000);
    EXPECT_FALSE(table.close(1000, t0));  // nothing covered: no grace
    EXPECT_EQ(table.nextDue(), std::nullopt);

    // A fan handed back is no longer covered; one forced in a grace, without a lease, is not.
    table.open(1000);
    table.forced(0, 1000, 4000);
    table.handedBack(0);
    EXPECT_FALSE(table.close(1000, t0));
    table.open(1000);
    table.forced(0, 1000, 4000);
    EXPECT_TRUE(table.close(1000, t0));
    table.forced(0, 1000, 4100);  // a script of the same user while no lease is open
    EXPECT_TRUE(table.takeDue(t0 + 10s).front().fans.empty());

    // Every fan handed back leaves nothing covered, whoever forced it.
    EXPECT_EQ(table.coveredBy(2000), (Fans{{1, 2500}}));
    table.allHandedBack();
    EXPECT_TRUE(table.coveredBy(2000).empty());
    EXPECT_FALSE(table.close(2000, t0));
}

TEST(LeaseTableTest, EachUsersGraceRunsOnItsOwn) {
    LeaseTable table(10s);
    table.open(1000);
    table.open(2000);
    table.forced(0, 1000, 4000);
    table.forced(1, 2000, 3000);
    EXPECT_TRUE(table.close(1000, t0));
    EXPECT_TRUE(table.close(2000, t0 + 5s));
    EXPECT_FALSE(table.close(2000, t0 + 6s));  // not holding: nothing changes
    EXPECT_EQ(table.nextDue(), t0 + 10s);
    EXPECT_EQ(dueFor(table, 1000, t0 + 12s), (Fans{{0, 4000}}));
    EXPECT_EQ(table.nextDue(), t0 + 15s);
    EXPECT_EQ(dueFor(table, 2000, t0 + 15s), (Fans{{1, 3000}}));
}
