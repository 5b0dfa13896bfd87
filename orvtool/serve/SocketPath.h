// Taking over the daemon's socket path in a world-writable directory: whatever another
// user left there is removed without following it, and at the stop only the daemon's own
// socket is removed.
#pragma once

#include <sys/types.h>

#include <string>

namespace orvtool {

// What was found at the socket path before the bind.
enum class Found { nothing, socket, symlink, file, fifo, directory, other };

struct Cleared {
    Found found = Found::nothing;
    std::string movedTo;  // where a directory with content was moved aside
};

// Clears the path for a bind: anything but a directory is unlinked (a link is removed, not
// followed), an empty directory is removed, and a directory with content is renamed aside
// to a fresh name beside it (never entered). Reports what was there.
Cleared clearSocketPath(const std::string& path);

// The daemon's bound socket file, remembered by device and inode.
struct BoundSocket {
    int err = 0;  // errno of the failed bind; 0 on success
    Cleared cleared;
    dev_t dev = 0;
    ino_t ino = 0;
};

// Clears the path and binds fd to it with mode 0666, trying again a few times when the
// path is taken again in between (EADDRINUSE).
BoundSocket bindReplacing(int fd, const std::string& path);

// Removes the path only when it is still the socket that was bound (another daemon may
// have replaced it since).
void removeOwnSocket(const std::string& path, const BoundSocket& bound);

}  // namespace orvtool
