// The leases of the daemon's clients (LeaseTable.h) as the loop keeps them: granting `hold`,
// noting what each answered request did to the fans, and handing back, with a log line,
// the fans of a user whose grace has run out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "LeaseTable.h"
#include "Reply.h"

class FanController;

namespace orvtool {

class DaemonLog;
class ForcedFans;

class ServeLeases {
  public:
    using Clock = LeaseTable::Clock;

    // Fans handed back at the end of a grace are handed back in `fans` too.
    ServeLeases(std::chrono::milliseconds grace, DaemonLog& log, ForcedFans& fans)
        : table_(grace), log_(log), fans_(fans) {}

    // The reply to `hold` on a connection of `uid`; `held` is the connection's own flag,
    // set here, so that a second `hold` on it takes no second lease.
    protocol::Reply hold(long uid, bool& held);
    // A connection that held a lease has ended.
    void closed(long uid, Clock::time_point now);
    // A request of `uid` was answered with `reply`: a fan forced at the speed written, one
    // fan or every fan handed back, or nothing to follow (errors included).
    void answered(long uid, const protocol::Reply& reply);

    // Hands back the fans of the users whose grace has passed by `now`. A covered fan is
    // handed back only while it is still forced at the speed its user set: one that
    // someone changed outside the daemon (a root `orvtool set`) is left as it is. Returns
    // each fan the leases let go of, and whether it went back (`done`; false: the
    // hand-back failed and is to be tried again).
    struct HandBack {
        int fan;
        bool done;
    };
    std::vector<HandBack> handBackDue(FanController& ctl, Clock::time_point now);
    // A fan left the daemon's hands otherwise (the keeper gave it up or handed it back).
    void handedBack(int fan) { table_.handedBack(fan); }
    std::optional<Clock::time_point> nextDue() const { return table_.nextDue(); }

    const LeaseTable& table() const { return table_; }
    // Fans handed back because a grace ran out, since the daemon started (a failed write
    // there is tried again until it holds).
    std::uint64_t handedBackCount() const { return handedBack_; }

  private:
    int graceSeconds() const;
    void log(const std::string& line);

    LeaseTable table_;
    DaemonLog& log_;
    ForcedFans& fans_;
    std::uint64_t handedBack_ = 0;
};

}  // namespace orvtool
