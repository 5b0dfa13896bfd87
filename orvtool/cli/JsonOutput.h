// The read commands' output for scripts (--json): one JSON object per command, or per row
// for watch (newline-delimited). Field names are English; numbers are numbers and what
// could not be read is null. The fields are documented in the manual page.
#pragma once

#include <cstdint>

class FanController;

namespace orvtool {

class Output;

// {"backend", "fans": [every field of a fan], "force_flag", "cpu", "gpu", "temperatures",
// "left_out"}
int cmdInfoJson(FanController& ctl, Output& out);
// {"backend", "fans": [{"index", "name", "current"}]}; status 1 when a speed is unreadable.
int cmdRpmJson(FanController& ctl, Output& out);
// {"backend", "temperatures": {KEY: {"name", "value"}}, "left_out"}
int cmdSensorsJson(FanController& ctl, Output& out);
// One row object a line, every 0.5 s: {"time", "fans", "cpu", "gpu", "temperatures",
// "left_out"}.
int cmdWatchJson(FanController& ctl, Output& out, double seconds);

}  // namespace orvtool
