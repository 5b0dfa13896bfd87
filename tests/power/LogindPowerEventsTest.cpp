#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "DaemonRig.h"
#include "Deadline.h"
#include "FakeLogind.h"
#include "PowerEvents.h"

using power::PowerEvent;

namespace {

using Events = std::vector<PowerEvent>;

// Polls the source as the daemon's loop does, with at most `step` between turns; false
// when the source is quiet for a whole turn (nothing to read, nothing due).
bool turn(power::PowerEvents& source, Events& seen,
          std::chrono::milliseconds step = std::chrono::milliseconds(50)) {
    int timeout = static_cast<int>(step.count());
    if (const auto due = source.nextDue()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            *due - power::PowerEvents::Clock::now());
        timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, timeout));
    }
    pollfd p{source.fd(), source.pollEvents(), 0};
    if (::poll(&p, 1, timeout) == 0 && timeout > 0) return false;
    const Events got = source.take();
    seen.insert(seen.end(), got.begin(), got.end());
    return true;
}

class LogindSource : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(logind_.ok()) << logind_.error();
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", logind_.busAddress().c_str(), 1);
        power::PowerEventsFailure failure;
        source_ = power::openPowerEvents(failure);
        ASSERT_NE(source_, nullptr) << "step " << failure.step << " errno " << failure.err;
    }

    // Serves the source until `condition` holds; false when the limit passes first.
    bool serveUntil(const std::function<bool()>& condition) {
        const Deadline deadline;
        while (!condition()) {
            if (deadline.passed()) return false;
            turn(*source_, events_);
        }
        return true;
    }
    bool serveUntilEvents(std::size_t count) {
        return serveUntil([&] { return events_.size() >= count; });
    }

    FakeLogind logind_;
    std::unique_ptr<power::PowerEvents> source_;
    Events events_;
};

TEST_F(LogindSource, DelaysEachSleepUntilReadyAndTakesANewDelayAfterTheWake) {
    ASSERT_TRUE(serveUntil([&] { return source_->delaysSleep(); }));
    EXPECT_EQ(logind_.inhibitorsHeld(), 1);
    EXPECT_EQ(logind_.lastInhibitMode(), "delay");

    ASSERT_TRUE(logind_.sleep());
    ASSERT_TRUE(serveUntilEvents(1));
    EXPECT_EQ(events_, Events{PowerEvent::willSleep});
    // The sleep waits while the fans are handed back.
    EXPECT_TRUE(source_->delaysSleep());
    EXPECT_EQ(logind_.inhibitorsHeld(), 1);

    source_->readyForSleep();
    EXPECT_FALSE(source_->delaysSleep());
    EXPECT_TRUE(waitUntil([&] { return logind_.inhibitorsHeld() == 0; }));

    ASSERT_TRUE(logind_.wake());
    ASSERT_TRUE(serveUntil([&] { return events_.size() >= 2 && source_->delaysSleep(); }));
    EXPECT_EQ(events_, (Events{PowerEvent::willSleep, PowerEvent::hasWoken}));
    EXPECT_EQ(logind_.inhibitCalls(), 2);
    EXPECT_EQ(logind_.inhibitorsHeld(), 1);
    EXPECT_EQ(logind_.lastInhibitMode(), "delay");
}

TEST_F(LogindSource, IgnoresPrepareForSleepFromAnyoneButLogind) {
    ASSERT_TRUE(serveUntil([&] { return source_->delaysSleep(); }));
    // Another connection announces a sleep, to everyone and to this one directly; then
    // logind announces a wake, which comes after the forgeries.
    ASSERT_TRUE(logind_.forge());
    ASSERT_TRUE(logind_.wake());
    ASSERT_TRUE(serveUntilEvents(1));
    EXPECT_EQ(events_, Events{PowerEvent::hasWoken});
    EXPECT_TRUE(source_->delaysSleep());
    EXPECT_EQ(logind_.inhibitorsHeld(), 1);
}

TEST_F(LogindSource, ALostBusEndsTheEventsWithoutSpinning) {
    ASSERT_TRUE(serveUntil([&] { return source_->delaysSleep(); }));
    logind_.stopBus();
    // The loop sees the hang-up, and then the source must fall quiet: a descriptor that
    // stayed ready would make every poll return at once.
    bool quiet = false;
    for (int i = 0; i < 50 && !quiet; ++i)
        quiet = !turn(*source_, events_, std::chrono::milliseconds(200));
    EXPECT_TRUE(quiet);
    EXPECT_TRUE(events_.empty());
    EXPECT_FALSE(source_->delaysSleep());
    EXPECT_TRUE(source_->take().empty());
}

TEST(LogindSourceWithoutBus, FailsAtTheBusStep) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvane-test/system_bus_socket", 1);
    power::PowerEventsFailure failure;
    failure.step = power::PowerEventsFailure::subscribe;
    EXPECT_EQ(power::openPowerEvents(failure), nullptr);
    EXPECT_EQ(failure.step, power::PowerEventsFailure::bus);
    EXPECT_GT(failure.err, 0);
}

double seconds(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST(SleptSeconds, IsTheSuspendClockAheadOfTheMonotonicOneAndNeverDecreases) {
    const double expected = seconds(CLOCK_BOOTTIME) - seconds(CLOCK_MONOTONIC);
    double last = power::sleptSeconds();
    EXPECT_GE(last, 0.0);
    EXPECT_NEAR(last, expected, 0.01);
    for (int i = 0; i < 100000; ++i) {
        const double now = power::sleptSeconds();
        ASSERT_GE(now, last);
        last = now;
    }
}

// The system bus a daemon started by the rig is given: never the machine's own by accident.
std::string busOfDaemon(DaemonRig& rig) {
    EXPECT_TRUE(rig.ok()) << rig.error();
    rig.start({"-c", "echo \"$DBUS_SYSTEM_BUS_ADDRESS\""});
    rig.daemon().finish();
    return rig.daemon().out();
}

TEST(DaemonRigSystemBus, IsAMissingSocketUnlessTheTestNamesOne) {
    DaemonRig plain("/bin/sh");
    EXPECT_EQ(busOfDaemon(plain), std::string(DaemonRig::kNoSystemBus) + "\n");

    DaemonRig withBus("/bin/sh");
    withBus.useSystemBus("unix:abstract=orvane-test-bus");
    EXPECT_EQ(busOfDaemon(withBus), "unix:abstract=orvane-test-bus\n");
}

}  // namespace
