// Bounds every receive and send on a socket, so that a peer that stops answering cannot
// hold the caller for longer than the limit.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>

inline void setSocketTimeouts(int fd, std::chrono::milliseconds limit) {
    const auto ms = limit.count();
    const timeval timeout{static_cast<time_t>(ms / 1000),
                          static_cast<suseconds_t>(ms % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}
