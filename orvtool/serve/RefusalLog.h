// The log of refused connections: the first refusal of a user is logged at once, the ones
// after it within the interval only counted, and the count logged in one line when the
// interval ends. A connect storm thus cannot push the history out of the log.
#pragma once

#include <chrono>
#include <map>

namespace orvtool {

class DaemonLog;

class RefusalLog {
  public:
    using Clock = std::chrono::steady_clock;

    RefusalLog(DaemonLog& log, int intervalMs) : log_(log), interval_(intervalMs) {}

    // overTotal: refused for the places all other users share, not for the user's own.
    void refused(long uid, bool overTotal, Clock::time_point now);
    // Logs the counts of the intervals that have ended.
    void closeEnded(Clock::time_point now);
    // Logs every count now.
    void closeAll();
    // When the next count is due; max() when none is.
    Clock::time_point nextDue() const;

  private:
    struct Window {
        Clock::time_point start;
        long suppressed;
    };
    void close(long uid, const Window& window);

    DaemonLog& log_;
    std::chrono::milliseconds interval_;
    std::map<long, Window> windows_;
};

}  // namespace orvtool
