#include "SocketPath.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace orvtool {

namespace {

constexpr int kBindAttempts = 5;

Found kindOf(mode_t mode) {
    if (S_ISSOCK(mode)) return Found::socket;
    if (S_ISLNK(mode)) return Found::symlink;
    if (S_ISREG(mode)) return Found::file;
    if (S_ISFIFO(mode)) return Found::fifo;
    if (S_ISDIR(mode)) return Found::directory;
    return Found::other;
}

}  // namespace

Cleared clearSocketPath(const std::string& path) {
    Cleared cleared;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return cleared;
    cleared.found = kindOf(st.st_mode);
    if (cleared.found != Found::directory) {
        ::unlink(path.c_str());  // removes the entry itself, never what a link points to
        return cleared;
    }
    if (::rmdir(path.c_str()) == 0 || errno == ENOENT) return cleared;
    // A directory with content: moved over a fresh empty directory of this process, which
    // nobody else can have taken or can change (sticky directory, mode 0700).
    std::vector<char> aside(path.begin(), path.end());
    for (const char c : std::string(".moved.XXXXXX"))
        aside.push_back(c);
    aside.push_back('\0');
    if (::mkdtemp(aside.data()) == nullptr) return cleared;
    if (::rename(path.c_str(), aside.data()) == 0) {
        cleared.movedTo = aside.data();
    } else {
        ::rmdir(aside.data());
    }
    return cleared;
}

BoundSocket bindReplacing(int fd, const std::string& path) {
    BoundSocket bound;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        bound.err = ENAMETOOLONG;
        return bound;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        const Cleared cleared = clearSocketPath(path);
        if (attempt == 0 || cleared.found != Found::nothing) bound.cleared = cleared;
        // The socket file is created with mode 0666 at once: there is no moment in which it
        // exists with other permissions.
        const mode_t previous = ::umask(0111);
        const int r = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        const int err = errno;
        ::umask(previous);
        if (r == 0) {
            bound.err = 0;
            // Root's file in a sticky directory: nobody else can swap it before this.
            ::chmod(path.c_str(), 0666);
            struct stat st;
            if (::lstat(path.c_str(), &st) == 0) {
                bound.dev = st.st_dev;
                bound.ino = st.st_ino;
            }
            return bound;
        }
        bound.err = err;
        if (err != EADDRINUSE) break;
    }
    return bound;
}

void removeOwnSocket(const std::string& path, const BoundSocket& bound) {
    struct stat st;
    if (bound.err != 0 || ::lstat(path.c_str(), &st) != 0) return;
    if (S_ISSOCK(st.st_mode) && st.st_dev == bound.dev && st.st_ino == bound.ino)
        ::unlink(path.c_str());
}

}  // namespace orvtool
