#include "SimClock.h"

#include <time.h>

namespace smcemu {

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

SimClock::SimClock(Source source) : source_(std::move(source)), lastReal_(source_()) {}

double SimClock::now() {
    double real = source_();
    // A source that went backwards does not move simulated time backwards.
    if (!frozen_ && real > lastReal_) sim_ += real - lastReal_;
    lastReal_ = real;
    return sim_;
}

void SimClock::freeze() {
    now();
    frozen_ = true;
}

void SimClock::followReal() {
    now();
    frozen_ = false;
}

void SimClock::step(double seconds) {
    now();
    if (seconds > 0) sim_ += seconds;
}

}  // namespace smcemu
