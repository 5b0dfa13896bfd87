// Terminating signals held back around SMC write sequences.
#include "Signals.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace {

volatile sig_atomic_t gDelivered = 0;
extern "C" void recordSignal(int) {
    gDelivered = 1;
}

}  // namespace

TEST(DeferredStopSignals, DeliversAnInterruptOnlyAfterTheSequence) {
    struct sigaction record {
    }, previous{};
    record.sa_handler = recordSignal;
    sigemptyset(&record.sa_mask);
    ASSERT_EQ(::sigaction(SIGINT, &record, &previous), 0);
    gDelivered = 0;
    {
        orvtool::DeferredStopSignals whole;
        ASSERT_EQ(::raise(SIGINT), 0);
        EXPECT_EQ(gDelivered, 0);
        { orvtool::DeferredStopSignals nested; }
        EXPECT_EQ(gDelivered, 0);  // an inner guard keeps the outer one's mask
    }
    EXPECT_EQ(gDelivered, 1);
    ::sigaction(SIGINT, &previous, nullptr);
}
