// The control daemon: Unix-domain sockets at the contract's paths (ControlProtocol.h),
// several connections served at once by one thread, one text command a line, one reply
// line per command. This file holds its life cycle (lock, sockets, forced mark, start and
// stop); the protocol is in ServeProtocol.h, the loop and its limits in ServeLoop.h, the
// stop signals in ServeStop.h, the lock in ServeLock.h.
#pragma once

#include "ServeFans.h"
#include "ServeLoop.h"
#include "ServeCommand.h"

class FanController;

namespace orvtool {

// Runs the daemon. As root it first takes the lock (ServeLock.h) and listens at
// protocol::kSocketPath, then, when it can, at protocol::kFallbackSocketPath too; without
// root only at the latter. Returns (always 1) only when start-up or the wait for
// connections fails: another daemon holds the lock (nothing is touched then), or the main
// address cannot be had (after a failure past the bind, every fan is restored and the
// sockets removed first);
// `quit`, SIGINT, SIGTERM and SIGHUP end the process with status 0 after restoring
// automatic control. A daemon that finds the forced mark of one that ended without that
// (ForcedMark.h) hands every fan back before it serves.
int cmdServe(FanController& ctl);

// The user who started the daemon, besides root: for a root daemon the first of SUDO_UID,
// PKEXEC_UID (set by sudo and pkexec) and ORVANE_OWNER_UID (the service's configured user)
// that holds a user id; -1 when none does. A daemon without root belongs to its own user.
long daemonOwner();

// Serves one accepted connection until the peer closes it or a read fails. Ends the
// process on `quit` or a stop signal.
void serveClient(int fd, FanController& ctl);

}  // namespace orvtool
