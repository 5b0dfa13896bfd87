// One daemon at a time: an exclusive lock on a file in the root-owned directory of the
// daemon's socket and mark, held for the daemon's whole life. A daemon that cannot take it
// touches nothing: not the socket, not the mark, not the fans.
#pragma once

#include <sys/types.h>

#include <string>

namespace orvtool {

struct DaemonLock {
    int fd = -1;       // held until the daemon stops (closing it lets go)
    int err = 0;       // errno of a failure to open or lock; EWOULDBLOCK: another holds it
    pid_t holder = 0;  // the process holding it, as it wrote itself into the file (0: unknown)
};

// Opens (creating it, mode 0600, when missing) the lock file at `path` in a trusted
// directory (created when missing) without following a link, and takes its lock without
// waiting; the holder then writes its id into it.
DaemonLock takeDaemonLock(const std::string& path);

}  // namespace orvtool
