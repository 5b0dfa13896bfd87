// Stands in for the platform's power events until they are built here: no source (the
// daemon then finds a wake by the clocks) and the slept time from the two clocks.
#include <time.h>

#include <cerrno>

#include "PowerEvents.h"

namespace power {

std::unique_ptr<PowerEvents> openPowerEvents(PowerEventsFailure& failure) {
    failure = {PowerEventsFailure::bus, ENOSYS};
    return nullptr;
}

double sleptSeconds() {
    timespec boot{}, mono{};
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    ::clock_gettime(CLOCK_MONOTONIC, &mono);
    return static_cast<double>(boot.tv_sec - mono.tv_sec) +
           static_cast<double>(boot.tv_nsec - mono.tv_nsec) / 1e9;
}

}  // namespace power
