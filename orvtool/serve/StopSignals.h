// How a stop reaches the daemon's loop: SIGINT, SIGTERM, SIGHUP and SIGQUIT only record the
// request and wake the poll through a pipe; the stop itself runs on the daemon's thread
// between commands, never in the middle of a command's SMC calls.
#pragma once

#include "NonCopyable.h"

namespace orvtool {

// The stop handling of one daemon: installs the handlers (unblocking the stop signals a
// launcher may have blocked) and owns the wake-up pipe. The handlers stay installed when it
// is gone: a stop signal that arrives after the daemon stopped, before the process ends,
// is only recorded, and cannot end the process with another status.
class StopSignals : NonCopyable {
  public:
    StopSignals();
    ~StopSignals();

    // The read end of the wake-up pipe (-1 when it could not be created) and its draining.
    int wakeFd() const { return read_; }
    void drain() const;

  private:
    int read_ = -1;
    int write_ = -1;
};

// Whether a stop signal arrived since the last daemon's stop handling was installed.
bool stopRequested();

// Ignores SIGPIPE, so that a peer that vanishes never ends the daemon.
void ignoreBrokenPipe();

}  // namespace orvtool
