// Writes the whole of a text to a descriptor, going on after short writes and signals; false
// with errno set when a write fails (EIO for a write that took nothing).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>

inline bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}
