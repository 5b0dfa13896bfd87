// The leases of the daemon's clients (LeaseTable.h) as the loop keeps them: granting `hold`,
// noting what each answered request did to the fans, and handing back, with a log line,
// the fans of a user whose grace has run out.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "LeaseTable.h"

class FanController;

namespace orvtool {

class ServeLeases {
  public:
    using Clock = LeaseTable::Clock;

    explicit ServeLeases(std::chrono::milliseconds grace) : table_(grace) {}

    // The reply to `hold` on a connection of `uid`; `held` is the connection's own flag,
    // set here, so that a second `hold` on it takes no second lease.
    std::string hold(long uid, bool& held);
    // A connection that held a lease has ended.
    void closed(long uid, Clock::time_point now);
    // A request of `uid` was answered with `reply`.
    void answered(long uid, const std::string& reply);

    // Hands back the fans of the users whose grace has passed by `now`. A covered fan is
    // handed back only while it is still forced at the speed its user set: one that
    // someone changed outside the daemon (a root `orvtool set`) is left as it is.
    void handBackDue(FanController& ctl, Clock::time_point now);
    std::optional<Clock::time_point> nextDue() const { return table_.nextDue(); }

  private:
    int graceSeconds() const;

    LeaseTable table_;
};

}  // namespace orvtool
