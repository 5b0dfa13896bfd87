// The daemon's dispatch of requests: the complete lines of a connection, each trimmed,
// served and answered in turn, and the books kept of what each did (the forced mark, the
// leases, the log), from the typed result of every request.
#pragma once

#include <list>
#include <optional>
#include <string>
#include <vector>

#include "Connection.h"
#include "Reply.h"
#include "Request.h"
#include "ServeLeases.h"
#include "ServeLimits.h"

class FanController;

namespace orvtool {

class DaemonLog;
class ForcedFans;

class Dispatcher {
  public:
    // `conns` are the loop's connections, for the caps on held ones.
    Dispatcher(FanController& ctl, const ServeLimits& limits, DaemonLog& log, ForcedFans& fans,
               const std::list<Connection>& conns);

    // Answers the lines waiting on a connection, at most ServeLimits::linesPerTurn of them,
    // and notes an overlong line or a peer that has finished; true when one was `quit`.
    bool answer(Connection& c, Clock::time_point now);

    // The log lines of answered requests, written once their replies are on their way, so
    // that the log write is not part of a client's wait.
    void writePendingLog();

    // A connection has ended.
    void closed(const Connection& c, Clock::time_point now);
    // The leases' hand-backs: due at `now`, and when the next one is.
    void handBackDue(Clock::time_point now) { leases_.handBackDue(ctl_, now); }
    std::optional<Clock::time_point> nextDue() const { return leases_.nextDue(); }

  private:
    // Serves one request of `c` and keeps the books of its result.
    protocol::Reply serve(const Request& request, Connection& c);

    FanController& ctl_;
    const ServeLimits& limits_;
    DaemonLog& log_;
    ForcedFans& fans_;
    const std::list<Connection>& conns_;
    ServeLeases leases_;
    std::vector<std::string> pendingLog_;
};

}  // namespace orvtool
