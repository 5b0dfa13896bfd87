// One client connection of the daemon's loop: its bytes in and out, and the times that
// bound it (a line's deadline, the idle limit, a reply left unread).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "RequestFramer.h"
#include "ServeLimits.h"

namespace orvtool {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Milliseconds from `now` until `when`, rounded up (0 when it has passed), so that a
// wake-up never comes just before the moment it waits for.
int msUntil(Clock::time_point when, Clock::time_point now);

// How serving one connection ended.
enum class ClientEnd {
    closed,    // the peer closed or a read or send failed
    quit,      // a `quit` was answered
    stop,      // SIGINT, SIGTERM or SIGHUP arrived
    overlong,  // a line grew past ServeLimits::maxPending
    idle,      // nothing pending for ServeLimits::idleMs (unless held), or a reply unread that long
    late,      // a line not complete within ServeLimits::lineMs
    backlog,   // unread replies past ServeLimits::maxOutput
};

struct Connection {
    Connection(int fd, bool ownsFd, long uid, const ServeLimits& limits, Clock::time_point now)
        : fd(fd),
          ownsFd(ownsFd),
          uid(uid),
          framer(limits.maxPending),
          lastAnswer(now),
          lineStart(now),
          outSince(now),
          lastRead(now) {}

    // Reads what one buffer holds; the peer's end or a failed read is noted.
    void readOnce(std::vector<char>& buffer, Clock::time_point now);
    // Sends as much of the waiting replies as the peer takes now.
    void flush(Clock::time_point now);
    // Queues one reply line.
    void queue(const std::string& reply, Clock::time_point now);
    // Ends the connection when one of its times has passed.
    void checkTimes(const ServeLimits& limits, Clock::time_point now);
    // When the loop must look at it again: min() at once, max() not for its times.
    Clock::time_point nextTime(const ServeLimits& limits) const;
    // Whether to wait for its bytes: not while lines wait for their turn or replies pile up.
    bool wantsRead(const ServeLimits& limits) const {
        return !eof && !framer.hasLine() && out.size() <= limits.maxOutput;
    }

    int fd;
    bool ownsFd;
    long uid;
    RequestFramer framer;
    std::string out;               // replies not yet taken by the peer
    Clock::time_point lastAnswer;  // connect, or the last answered request
    Clock::time_point lineStart;   // first byte of the unfinished line
    Clock::time_point outSince;    // when `out` last became non-empty or moved
    Clock::time_point lastRead;    // when bytes last arrived
    bool eof = false;              // the peer sends nothing more
    bool held = false;             // a lease (`hold`): never idle
    std::optional<ClientEnd> end;
};

// The log line for a connection dropped at one of its limits; empty for the other ends.
std::string endText(ClientEnd end, const ServeLimits& limits);

}  // namespace orvtool
