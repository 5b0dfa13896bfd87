// Handing the fans back when the user quits: background work delivers "auto" to the daemon,
// starting it first when a fan is forced and it is down, and the main thread waits for it,
// never longer than a limit. When the fans were not handed back, a warning says why and how
// to do it by hand before the application ends.
#pragma once

#include <chrono>
#include <string>

#include "DaemonStarter.h"

class FanController;

// How Quit's "auto" went, as far as it got.
struct AutoDelivery {
    enum Result {
        delivered,      // answered with a success
        refused,        // answered with an error (in `reply`)
        noAnswer,       // no reply from the root daemon (yet)
        notStarted,     // the daemon was down and could not be started
        busy,           // the daemon refused the connection for its limits (yet)
        foreign,        // another user's listener holds the socket (uid in peerUid)
        untrustedTool,  // the daemon was down and the tool is not one root may run
    };
    Result result = noAnswer;
    std::string reply;
    uid_t peerUid = 0;
    std::string path;  // foreign: where it listens
};

// Why the fans were not handed back, then how to do it by hand (only with a tool root may
// run; otherwise why not).
std::string quitFailureMessage(const AutoDelivery& delivery, const ToolTrust& trust);

// Some fan is forced: its mode bit is set, or (without a mode key) its minimum differs from
// the original one.
bool anyFanForced(FanController& ctl);
// Some fan has no mode key while the original minimums do not come from the boot's record:
// a fan forced through its minimum before this process started cannot be told from an
// automatic one.
bool forcedStateUncertain(FanController& ctl);

class QuitSequence {
  public:
    QuitSequence(DaemonStarter starter, std::chrono::milliseconds waitLimit)
        : starter_(std::move(starter)), waitLimit_(waitLimit) {}

    // Hands the fans back. `forced`: some fan is known to be forced; the daemon is started
    // when it is down. `uncertain`: none looks forced, but one forced before this process
    // started could look automatic; a daemon that is there (alive, busy or silent) is asked,
    // none is started (a daemon that is down restored its fans when it stopped, and a
    // foreign listener holds none). With neither nothing is sent. "auto" is tried every half
    // second until a reply comes or the limit passes; returns after at most the limit, once
    // a failure has been reported.
    void handBack(bool forced, bool uncertain) const;

  private:
    DaemonStarter starter_;
    std::chrono::milliseconds waitLimit_;
};
