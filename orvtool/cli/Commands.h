// The direct subcommands of orvtool. Each takes the run's one FanController and its streams
// (Output.h) and returns the exit status (0 or 1).
#pragma once

#include <cstdint>
#include <optional>

class FanController;

namespace orvtool {

class Output;

// Diagnostic dump of every fan, the global force flag and the temperatures.
int cmdInfo(FanController& ctl, Output& out);
// Current speed of each fan, one integer a line.
int cmdRpm(FanController& ctl, Output& out);
// Forces one fan to a speed (clamped by the hardware layer) and reads back.
int cmdSet(FanController& ctl, Output& out, std::int64_t fan, std::int64_t rpm);
// Returns every fan to automatic control and reads back.
int cmdAuto(FanController& ctl, Output& out);
// A table of speeds and temperatures, one row every 0.5 s for the given duration.
int cmdWatch(FanController& ctl, Output& out, double seconds);
// Every temperature sensor, one line each sorted by key, and the count of those left out.
int cmdSensors(FanController& ctl, Output& out);

// The index of watch's last sample for a duration: seconds × 2 truncated. None for a
// negative duration, NaN, or one whose sample count does not fit in 64 bits.
std::optional<std::int64_t> watchLastSample(double seconds);
// Sleeps half a second, going on after signals that interrupt it.
void sleepHalfSecond();

}  // namespace orvtool
