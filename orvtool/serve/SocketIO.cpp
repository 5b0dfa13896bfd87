#include "SocketIO.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace orvtool {

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
#else
constexpr int kSendFlags = MSG_DONTWAIT;  // SIGPIPE is ignored while serving
#endif

}  // namespace

bool setPollFlags(int fd) {
    const int fl = ::fcntl(fd, F_GETFL);
    const int fd_fl = ::fcntl(fd, F_GETFD);
    return fl >= 0 && fd_fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, fd_fl | FD_CLOEXEC) == 0;
}

int acceptConnection(int listener) {
#ifdef __linux__
    return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd >= 0) setPollFlags(fd);
    return fd;
#endif
}

bool acceptMayRecover(int err) {
    return err != EBADF && err != EINVAL && err != ENOTSOCK && err != EOPNOTSUPP && err != EFAULT;
}

long peerUid(int fd) {
#ifdef __linux__
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) return cred.uid;
#else
    uid_t uid;
    gid_t gid;
    if (::getpeereid(fd, &uid, &gid) == 0) return uid;
#endif
    return -1;
}

ssize_t sendNoWait(int fd, std::string_view data) {
    return ::send(fd, data.data(), data.size(), kSendFlags);
}

}  // namespace orvtool
