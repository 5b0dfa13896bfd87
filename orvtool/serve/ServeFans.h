// What the daemon keeps of the fans it serves: the forced mark (ForcedMark.h) that tells a
// later daemon to hand them back, and the hand-back itself at a stop.
#pragma once

#include <string>

class FanController;

namespace orvtool {

// Keeps the mark at `path` from now on. Until this is called (servers inside tests) no mark
// is kept.
void keepForcedMark(const std::string& path);

// Before a request that may force a fan, so that a daemon killed in the middle of it still
// leaves the mark; after a request and its reply, the mark is made to follow the fans:
// present exactly while a fan forced through this daemon (by any client) has not been
// handed back. Both look at the mark itself, not at what this daemon last did to it.
void markBefore(const std::string& request);
void markAfter(const std::string& request, const std::string& reply, FanController& ctl);
// A fan went back to automatic control otherwise than by a request (a lease's grace ran
// out).
void markHandedBack(int fan);

// Hands every fan back to automatic control for a stop, going on past fans that fail, and
// clears the mark when all went back; whether every fan went back.
bool restoreEveryFan(FanController& ctl);

}  // namespace orvtool
