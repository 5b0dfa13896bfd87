// The daemon's loop: one thread polls the listeners, the wake-up pipe and every connection,
// answers each connection's lines in turns, and drops a connection that passes its limits.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Connection.h"
#include "ServeLimits.h"

class FanController;

namespace power {
class PowerEvents;
}

namespace orvtool {

class DaemonLog;
class ForcedFans;
class StopSignals;

// Serves one connection with the daemon's loop (no listener, no forced mark, the log on
// standard error) until it ends, and tells how. The descriptor stays open.
ClientEnd serveConnection(int fd, FanController& ctl, const ServeLimits& limits = {});

// How the loop over listeners ended: `quit` answered, a stop signal, or a failed poll or
// accept (with its errno).
struct LoopEnd {
    enum Kind { quit, stop, failed } kind;
    int err = 0;
};

// Serves the connections of listening, non-blocking sockets until one of the above, with
// no forced mark and the log on standard error.
LoopEnd serveListeners(const std::vector<int>& listeners, FanController& ctl,
                       const ServeLimits& limits = {});

// What the daemon's loop learns the machine's sleep and wake from: the platform's events
// (none: the daemon could not subscribe) and the slept-time clock (power::sleptSeconds
// unless a test gives another).
struct PowerWatch {
    power::PowerEvents* events = nullptr;
    std::function<double()> sleptSeconds;
};

// The daemon's own loop: its log, the fans it keeps, its stop signals' wake-up pipe, the
// machine's sleep and wake, and the directory of the fans' standing settings (empty: they
// are not stored).
LoopEnd serveListeners(const std::vector<int>& listeners, FanController& ctl,
                       const ServeLimits& limits, DaemonLog& log, ForcedFans& fans,
                       const StopSignals& stop, const PowerWatch& power = {},
                       const std::string& stateDir = {});

}  // namespace orvtool
