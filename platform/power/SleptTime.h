// What both platforms' sleptSeconds() do with a raw reading of the slept time.
#pragma once

#include <atomic>

namespace power {

// Two clocks read a few nanoseconds apart may differ by rounding: a reading below 0 counts
// as 0, and what was once returned is never undercut, so the value only grows.
inline double risingSlept(double slept) {
    if (slept < 0) slept = 0;
    static std::atomic<double> highest{0};
    double seen = highest.load();
    while (slept > seen && !highest.compare_exchange_weak(seen, slept)) {
    }
    return slept > seen ? slept : seen;
}

}  // namespace power
