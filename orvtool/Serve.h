// The control daemon: a Unix-domain socket at ORVANE_SOCKET_PATH, several connections
// served at once by one thread, one text command a line, one reply line per command.
// This file holds its life cycle (signals, socket, forced mark, start and stop); the
// protocol is in ServeProtocol.h, the loop and its limits in ServeLoop.h.
#pragma once

#include "ServeFans.h"
#include "ServeLoop.h"
#include "ServeProtocol.h"

class FanController;

inline constexpr const char* ORVANE_SOCKET_PATH = "/tmp/orvane.sock";

namespace orvtool {

// Runs the daemon. Returns (always 1) only when start-up or the wait for connections fails
// (after a failure past the bind, every fan is restored and the socket removed first);
// `quit`, SIGINT, SIGTERM and SIGHUP end the process with status 0 after restoring
// automatic control. A daemon that finds the forced mark of one that ended without that
// (ForcedMark.h) hands every fan back before it serves.
int cmdServe(FanController& ctl);

// Serves one accepted connection until the peer closes it or a read fails. Ends the
// process on `quit` or a stop signal.
void serveClient(int fd, FanController& ctl);

}  // namespace orvtool
