// One daemon at a time: an exclusive lock on a file in the root-owned directory of the
// daemon's socket and mark, held for the daemon's whole life. A daemon that cannot take it
// touches nothing: not the socket, not the mark, not the fans.
#pragma once

#include <sys/types.h>

#include <string>

#ifdef __APPLE__
inline constexpr const char* ORVANE_DAEMON_LOCK_PATH = "/var/run/orvane/daemon.lock";
#else
inline constexpr const char* ORVANE_DAEMON_LOCK_PATH = "/run/orvane/daemon.lock";
#endif

namespace orvtool {

struct DaemonLock {
    int fd = -1;       // held until the process ends
    int err = 0;       // errno of a failure to open or lock; EWOULDBLOCK: another holds it
    pid_t holder = 0;  // the process holding it, as it wrote itself into the file (0: unknown)
};

// Opens (creating it, mode 0600, when missing) the lock file at `path` in a trusted
// directory (created when missing) without following a link, and takes its lock without
// waiting; the holder then writes its id into it.
DaemonLock takeDaemonLock(const std::string& path);

}  // namespace orvtool
