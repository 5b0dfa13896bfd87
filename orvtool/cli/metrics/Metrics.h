// `orvtool metrics`: the fans, the temperatures and the control daemon's state in the
// Prometheus text format, on standard output or replacing a file (node_exporter's textfile
// collector). The SMC is read directly, as `orvtool info` reads it; the daemon is asked for
// its status when one answers in time. Metric names and labels are in Metrics.cpp and the
// manual page.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Status.h"

class DaemonClient;
class FanController;

namespace orvtool {

class Output;

// How long the daemon is given to answer `status`: a run under a 15 s timer must not wait
// for a daemon that is stuck.
inline constexpr int kMetricsDaemonTimeoutMs = 1000;

// The exposition of one run: `ctl` is none when the SMC could not be opened (then only
// orvane_up 0, the build and the daemon follow), `daemon` the report when one answered.
std::string metricsText(FanController* ctl, const std::optional<protocol::StatusReport>& daemon);

// The daemon's report; none when no trusted daemon answered in time with a well-formed one.
std::optional<protocol::StatusReport> askStatus(const DaemonClient& client);

// The command with the words after `metrics` (none, or `--output FILE`): 0 when the metrics
// were written, also when the SMC could not be read (orvane_up 0 says so, and standard error
// why); 1 for a usage error or a file that could not be replaced.
int cmdMetrics(Output& out, const std::vector<std::string>& words);

}  // namespace orvtool
