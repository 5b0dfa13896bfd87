// The machine's sleep and wake as the daemon's poll loop sees them. One implementation a
// platform: logind's PrepareForSleep signal on the system bus with a delay inhibitor (Linux),
// IOKit's system power notifications (macOS). The source only reports; the loop does the work
// (hands the fans back before sleep, sets them again after wake) and then says so.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace power {

enum class PowerEvent { willSleep, hasWoken };

class PowerEvents {
  public:
    using Clock = std::chrono::steady_clock;

    virtual ~PowerEvents() = default;

    // The descriptor the loop polls, with the poll events it waits for (they can change after
    // every take()). -1 once the source is gone for good (its bus connection lost): poll
    // ignores it, and the source reports nothing more.
    virtual int fd() const = 0;
    virtual short pollEvents() const = 0;
    // When the source must be served although its descriptor is quiet (a bus call's timeout);
    // none when only the descriptor matters.
    virtual std::optional<Clock::time_point> nextDue() const = 0;
    // Serves the source once poll reported its descriptor or its time came; the events that
    // arrived since the last call, oldest first. Never blocks.
    virtual std::vector<PowerEvent> take() = 0;
    // After willSleep: what had to be done before the sleep is done, the sleep may go on
    // (Linux: the delay inhibitor is closed; macOS: the power change is allowed). After a
    // wake the source takes a new delay for the next sleep by itself.
    virtual void readyForSleep() = 0;
    // Whether a sleep waits for readyForSleep (a delay is held); without one the hand-back
    // before sleep races the sleep.
    virtual bool delaysSleep() const = 0;
};

// Why no source could be had: the step that failed and its errno (positive).
struct PowerEventsFailure {
    enum Step { bus, subscribe } step = bus;
    int err = 0;
};

// The platform's source; none, with the reason in `failure`, when there is none (no system
// bus: the daemon then finds a wake by the clocks alone).
std::unique_ptr<PowerEvents> openPowerEvents(PowerEventsFailure& failure);

// Seconds the machine has spent asleep since boot: the clock that counts suspend minus the
// one that does not (CLOCK_BOOTTIME minus CLOCK_MONOTONIC; on macOS the continuous minus the
// absolute clock). It grows only across a sleep, so a growth between two readings of more
// than a fraction of a second is a wake that may not have been reported.
double sleptSeconds();

}  // namespace power
