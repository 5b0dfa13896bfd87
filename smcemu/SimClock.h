// Simulated time of the emulator. It follows a real monotonic time source, can be frozen
// (time stands still until stepped) and stepped forward by hand, so tests get exact,
// repeatable physics.
#pragma once

#include <functional>

namespace smcemu {

// Seconds of CLOCK_MONOTONIC.
double monotonicSeconds();

class SimClock {
  public:
    using Source = std::function<double()>;

    explicit SimClock(Source source = monotonicSeconds);

    // Current simulated time in seconds (starts at 0).
    double now();

    void freeze();
    void followReal();
    // Moves simulated time forward by `seconds` (>= 0), frozen or not.
    void step(double seconds);
    bool frozen() const { return frozen_; }

  private:
    Source source_;
    double lastReal_;
    double sim_ = 0;
    bool frozen_ = false;
};

}  // namespace smcemu
