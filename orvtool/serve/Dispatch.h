// The daemon's dispatch of requests: the complete lines of a connection, each trimmed,
// served and answered in turn, and the books kept of what each did (the forced mark, the
// leases, the log), from the typed result of every request.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "Connection.h"
#include "FanKeeper.h"
#include "KeeperFans.h"
#include "Reply.h"
#include "Request.h"
#include "ServeLeases.h"
#include "ServeLimits.h"
#include "StandingFans.h"

class FanController;

namespace orvtool {

class DaemonLog;
class ForcedFans;

class Dispatcher {
  public:
    // `conns` are the loop's connections, for the caps on held ones; `sleptSeconds` is the
    // slept-time clock the keeper finds an unreported wake by; `stateDir` the directory of
    // the fans' standing settings (empty: they are not stored). The stored settings run
    // from now.
    Dispatcher(FanController& ctl, const ServeLimits& limits, DaemonLog& log, ForcedFans& fans,
               const std::list<Connection>& conns, std::function<double()> sleptSeconds,
               const std::string& stateDir = {});

    // Answers the lines waiting on a connection, at most ServeLimits::linesPerTurn of them,
    // and notes an overlong line or a peer that has finished; true when one was `quit`.
    bool answer(Connection& c, Clock::time_point now);

    // The log lines of answered requests, written once their replies are on their way, so
    // that the log write is not part of a client's wait.
    void writePendingLog();

    // A new connection was refused for the limits (told busy and closed).
    void connectionRefused() { ++refusedConnections_; }

    // A connection has ended.
    void closed(const Connection& c, Clock::time_point now);
    // The work due at `now` without a request: the leases' hand-backs, the keeper's check
    // and the standing settings' run; and when the next is due.
    void tick(Clock::time_point now);
    std::optional<Clock::time_point> nextDue() const;
    // The machine's sleep and wake (the keeper hands the fans back and sets them again).
    void willSleep(Clock::time_point now) { keeper_.willSleep(now); }
    void hasWoken(Clock::time_point now) {
        keeper_.hasWoken(now);
        standing_.hasWoken();
    }

  private:
    // Serves one request of `c` and keeps the books of its result.
    protocol::Reply serve(const Request& request, Connection& c, Clock::time_point now);
    // Before a `set` or `auto <fan>` of a fan with a standing setting: root's or the owner's
    // ends it, anyone else's is refused (the reply). Root's `auto` ends every setting.
    std::optional<protocol::Reply> standingFirst(const Request& request, long uid,
                                                 bool rootOrOwner);
    // `auto` from anyone but root while settings run: every other fan back.
    protocol::Reply autoAllButStanding(Clock::time_point now);
    // The `status` reply's object at `now`.
    std::string status(Clock::time_point now);
    // What a request's reply tells the keeper.
    void keep(const Request& request, const protocol::Reply& reply, long uid,
              Clock::time_point now);

    FanController& ctl_;
    const ServeLimits& limits_;
    DaemonLog& log_;
    ForcedFans& fans_;
    const std::list<Connection>& conns_;
    ServeLeases leases_;
    ControllerFans keeperFans_;
    FanKeeper keeper_;
    StandingFans standing_;
    std::vector<std::string> pendingLog_;
    // For `status`: when the daemon began (Unix time), and what it refused.
    std::int64_t started_ = 0;
    std::uint64_t refusedConnections_ = 0, refusedRequests_ = 0;
};

}  // namespace orvtool
