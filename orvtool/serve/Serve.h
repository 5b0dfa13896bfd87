// The control daemon: Unix-domain sockets at the contract's paths (ControlProtocol.h),
// several connections served at once by one thread, one text command a line, one reply
// line per command. This file holds its life cycle (lock, sockets, forced mark, start and
// stop); the requests are in Request.h and ServeCommand.h, the loop in ServeLoop.h and its
// parts, the stop signals in StopSignals.h, the lock in ServeLock.h.
#pragma once

class FanController;

namespace orvtool {

// Runs the daemon and returns its exit status. As root it first takes the lock
// (ServeLock.h) and listens at protocol::kSocketPath, then, when it can, at
// protocol::kFallbackSocketPath too; without root only at the latter. `quit`, SIGINT,
// SIGTERM and SIGHUP end it with 0 after automatic control is restored. 1 when start-up
// or the wait for connections fails: another daemon holds the lock (nothing is touched
// then), or the main address cannot be had (after a failure past the bind, every fan is
// restored and the sockets removed first). A daemon that finds the forced mark of one
// that ended without restoring (ForcedMark.h) hands every fan back before it serves.
// Everything it set up is gone when it returns: the lock let go, the sockets and
// descriptors closed.
int cmdServe(FanController& ctl);

// The user who started the daemon, besides root: for a root daemon the first of SUDO_UID,
// PKEXEC_UID (set by sudo and pkexec) and ORVANE_OWNER_UID (the service's configured user)
// that holds a user id; -1 when none does. A daemon without root belongs to its own user.
long daemonOwner();

}  // namespace orvtool
