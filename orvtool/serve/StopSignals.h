// How a stop reaches the daemon's loop: SIGINT, SIGTERM, SIGHUP and SIGQUIT only record the
// request and wake the poll through a pipe; the stop itself runs on the daemon's thread
// between commands, never in the middle of a command's SMC calls.
#pragma once

namespace orvtool {

// Installs the stop handlers (unblocking the stop signals a launcher may have blocked) and
// creates the wake-up pipe.
void installStopHandling();

// Ignores SIGPIPE, so that a peer that vanishes never ends the daemon.
void ignoreBrokenPipe();

// Whether a stop signal arrived.
bool stopRequested();

// The read end of the wake-up pipe (-1 when it could not be created) and its draining.
int wakeFd();
void drainWakePipe();

// Makes a descriptor the daemon polls non-blocking and closed on exec; whether it worked.
bool setPollFlags(int fd);

}  // namespace orvtool
