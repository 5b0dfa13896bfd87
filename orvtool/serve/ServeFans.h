// What the daemon keeps of the fans it serves: the fans it may have forced, the forced mark
// (ForcedMark.h) that tells a later daemon to hand them back, and the hand-back itself at a
// stop.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "Reply.h"
#include "Request.h"

class FanController;

namespace orvtool {

class DaemonLog;

class ForcedFans {
  public:
    explicit ForcedFans(DaemonLog& log) : log_(log) {}

    // Keeps the mark at `path` from now on. Until this is called (servers inside tests) no
    // mark is kept.
    void keepMark(const std::string& path) { markPath_ = path; }

    // Before a request that may force a fan, so that a daemon killed in the middle of it
    // still leaves the mark; after a request and its reply, the mark is made to follow the
    // fans: present exactly while a fan forced through this daemon (by any client) has not
    // been handed back. Both look at the mark itself, not at what this daemon last did to
    // it.
    void before(const Request& request);
    void after(const Request& request, const protocol::Reply& reply, int fanCount);
    // A fan went back to automatic control otherwise than by a request (a lease's grace ran
    // out).
    void handedBack(int fan);
    // The daemon is about to force a fan by itself (a curve or a floor).
    void forcing(int fan);

    // The fans this daemon may have forced (see forced_).
    std::set<int> mayBeForced() const;

    // Hands every fan back to automatic control for a stop, going on past fans that fail,
    // and clears the mark when all went back; whether every fan went back.
    bool restoreEveryFan(FanController& ctl);

  private:
    // Makes the mark present or absent, and logs the first of a run of failures.
    void mark(bool forced);

    DaemonLog& log_;
    std::string markPath_;  // empty: no mark kept
    bool markFailed_ = false;
    // The fans this daemon may have forced: those of every `set` it ran (also one that
    // failed after its first write), until an `auto` of that fan or of all fans succeeded.
    // Kept from the requests and their results, without asking the SMC again, so that a
    // failing SMC read never clears it.
    std::set<std::int64_t> forced_;
};

}  // namespace orvtool
