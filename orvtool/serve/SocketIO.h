// The socket calls of the daemon's loop: descriptors that never block it, accepting, the
// peer's user, and sends that neither wait nor raise SIGPIPE.
#pragma once

#include <sys/types.h>

#include <string_view>

namespace orvtool {

// Makes a descriptor the daemon polls non-blocking and closed on exec; whether it worked.
bool setPollFlags(int fd);

// Accepts a connection as a non-blocking descriptor closed on exec; -1 with errno set.
int acceptConnection(int listener);

// Errors of accept that leave the listener as it was: the daemon waits a moment and
// accepts again. Any other error means the listener itself is broken.
bool acceptMayRecover(int err);

// The peer's user, for the per-user caps and `quit`; -1 when it cannot be told.
long peerUid(int fd);

// One send that does not wait and never raises SIGPIPE; what send returns.
ssize_t sendNoWait(int fd, std::string_view data);

}  // namespace orvtool
