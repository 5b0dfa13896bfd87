#include "DaemonClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "ControlProtocol.h"
#include "NonCopyable.h"
#include "Paths.h"
#include "Reply.h"

namespace {

using Clock = std::chrono::steady_clock;
using Exchange = DaemonClient::Exchange;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

constexpr std::size_t kReadBufferSize = 1024;
// How often a connection refused for a full backlog is tried again.
constexpr std::chrono::milliseconds kConnectRetry{10};
#ifdef __APPLE__
// How long a refused connection to a path that is a socket is tried again (see connectTo).
constexpr std::chrono::milliseconds kRefusedRetry{250};
#endif

// Milliseconds left until the deadline, for poll (0 once it has passed).
int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 60'000)) : 0;
}

// Waits for `events` on fd until the deadline; false when the time is up.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, remainingMs(deadline));
        if (rc > 0) return true;
        if (rc == 0) {
            if (Clock::now() >= deadline) return false;
            continue;
        }
        if (errno != EINTR) return true;  // let the following call report the error
    }
}

class Socket : NonCopyable {
  public:
    Socket() {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd_ < 0) return;
        // Close-on-exec: a started launcher must not inherit it. Non-blocking: every wait
        // below is bounded by the deadline instead.
        ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
#ifdef SO_NOSIGPIPE
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#endif
    }
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const {
        return fd_;
    }
    // Hands the descriptor over to the caller, who closes it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

enum class Connect { connected, failed, timedOut };

#ifdef __APPLE__
bool isSocket(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}
#endif

// Connects with the whole zero-filled address structure as its length. A Unix-domain
// connect either completes at once or fails; a full listen backlog fails with EAGAIN and
// is tried again until the deadline (other platforms report EINPROGRESS and finish later).
//
// Darwin refuses a connection to a full backlog with ECONNREFUSED, the error a socket
// file without a listener (a killed daemon's) gives as well. Such a refusal is tried again
// while the path is a socket, but only briefly: a socket nobody listens at must count as
// no daemon soon (the caller then starts one, which replaces the file), not as a silent
// daemon at the deadline.
Connect connectTo(int fd, const std::string& path, Clock::time_point deadline) {
#ifdef __APPLE__
    const Clock::time_point refusedUntil = std::min(deadline, Clock::now() + kRefusedRetry);
#endif
    sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path.size() + 1 > sizeof(address.sun_path)) return Connect::failed;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0)
            return Connect::connected;
        if (errno == EINTR) continue;
        if (errno == EINPROGRESS) {
            if (!waitFor(fd, POLLOUT, deadline)) return Connect::timedOut;
            int error = 0;
            socklen_t length = sizeof(error);
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
                return Connect::failed;
            return Connect::connected;
        }
#ifdef __APPLE__
        if (errno == ECONNREFUSED) {
            if (!isSocket(path) || Clock::now() + kConnectRetry >= refusedUntil)
                return Connect::failed;
            std::this_thread::sleep_for(kConnectRetry);
            continue;
        }
#endif
        if (errno != EAGAIN) return Connect::failed;
        if (Clock::now() + kConnectRetry >= deadline) return Connect::timedOut;
        std::this_thread::sleep_for(kConnectRetry);
    }
}

// The user of the process at the other end, as the kernel recorded it when that process
// started listening; none when it cannot be learned.
std::optional<uid_t> peerUid(int fd) {
#ifdef __linux__
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return std::nullopt;
    return credentials.uid;
#else
    uid_t uid = 0;
    gid_t gid = 0;
    if (::getpeereid(fd, &uid, &gid) != 0) return std::nullopt;
    return uid;
#endif
}

// Connects the socket to `path` and checks the listener: root's daemon, or the user's own
// (which can write nothing the user could not). None when it may be told something; else
// the outcome that ends the exchange, with where it listens and, for a foreign listener,
// its user in `result`.
std::optional<Exchange::Outcome> reachDaemon(const DaemonClient::Options& options,
                                             const std::string& path, const Socket& socket,
                                             Clock::time_point deadline, Exchange& result) {
    if (socket.fd() < 0) return Exchange::Outcome::noDaemon;
    switch (connectTo(socket.fd(), path, deadline)) {
        case Connect::connected:
            break;
        case Connect::failed:
            return Exchange::Outcome::noDaemon;
        case Connect::timedOut:
            result.path = path;
            return Exchange::Outcome::noReplyInTime;
    }
    result.path = path;

    // Only the daemon is told anything.
    const std::optional<uid_t> peer = peerUid(socket.fd());
    if (!peer || (*peer != 0 && *peer != options.user)) {
        result.peerUid = peer ? *peer : static_cast<uid_t>(-1);
        return Exchange::Outcome::foreignListener;
    }
    return std::nullopt;
}

Exchange exchangeAt(const DaemonClient::Options& options, const std::string& path,
                    const std::string& command, Clock::time_point deadline) {
    Exchange result;

    Socket socket;
    if (const auto early = reachDaemon(options, path, socket, deadline, result)) {
        result.outcome = *early;
        return result;
    }

    // One send call; its result is not examined (a vanished peer shows in the reply).
    const std::string request = command + "\n";
    if (waitFor(socket.fd(), POLLOUT, deadline))
        (void)::send(socket.fd(), request.data(), request.size(), kSendFlags);

    std::string reply;
    char buffer[kReadBufferSize];
    for (;;) {
        if (!waitFor(socket.fd(), POLLIN, deadline)) {
            result.outcome = Exchange::Outcome::noReplyInTime;
            return result;
        }
        const ssize_t n = ::read(socket.fd(), buffer, sizeof(buffer));
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) break;  // end of stream, or a read error
        reply.append(buffer, static_cast<std::size_t>(n));
        if (replyComplete(reply)) break;
    }

    result.outcome = Exchange::Outcome::replied;
    result.line = replyLine(reply);
    return result;
}

// The daemon's own address first; the second one only when nobody listens at the first.
Exchange exchangeWith(const DaemonClient::Options& options, const std::string& command,
                      std::chrono::milliseconds timeLimit) {
    const auto deadline = Clock::now() + timeLimit;
    Exchange result = exchangeAt(options, options.socketPath, command, deadline);
    if (result.outcome == Exchange::Outcome::noDaemon && !options.fallbackSocketPath.empty())
        result = exchangeAt(options, options.fallbackSocketPath, command, deadline);
    return result;
}

DaemonStatus probeWith(const DaemonClient::Options& options) {
    const Exchange ping =
        exchangeWith(options, std::string(protocol::kPing), options.exchangeTimeout);
    if (ping.outcome == Exchange::Outcome::noReplyInTime) return DaemonStatus::unresponsive;
    if (ping.outcome == Exchange::Outcome::foreignListener)
        return {DaemonStatus::foreign, ping.peerUid, ping.path};
    if (!ping.line) return DaemonStatus::down;
    const protocol::ReplyKind kind = protocol::parseReply(*ping.line).kind;
    if (kind == protocol::ReplyKind::busy) return DaemonStatus::busy;
    return protocol::isOK(kind) ? DaemonStatus::alive : DaemonStatus::down;
}

DaemonClient::Options withDefaults(DaemonClient::Options options) {
    if (options.socketPath.empty()) {
        options.socketPath = paths::kSocketPath;
        if (options.fallbackSocketPath.empty())
            options.fallbackSocketPath = paths::kFallbackSocketPath;
    }
    if (!options.user) options.user = ::getuid();
    return options;
}

}  // namespace

DaemonClient::DaemonClient() : DaemonClient(Options{}) {}

DaemonClient::DaemonClient(Options options)
    : options_(std::make_shared<const Options>(withDefaults(std::move(options)))) {}

DaemonClient::Exchange DaemonClient::exchange(const std::string& command) const {
    return exchangeWith(*options_, command, options_->exchangeTimeout);
}

DaemonClient::Exchange DaemonClient::exchange(const std::string& command,
                                              std::chrono::milliseconds timeLimit) const {
    return exchangeWith(*options_, command, timeLimit);
}

int DaemonClient::openConnection(std::chrono::milliseconds timeLimit) const {
    const Options& options = *options_;
    const auto deadline = Clock::now() + timeLimit;
    // The daemon's own address first; the second one only when nobody listens at the first.
    for (const std::string* path : {&options.socketPath, &options.fallbackSocketPath}) {
        if (path->empty()) continue;
        Socket socket;
        Exchange unused;
        const auto early = reachDaemon(options, *path, socket, deadline, unused);
        if (!early) return socket.release();
        if (*early != Exchange::Outcome::noDaemon) break;
    }
    return -1;
}

std::optional<std::string> DaemonClient::send(const std::string& command) const {
    return exchange(command).line;
}

DaemonStatus DaemonClient::probe() const {
    return probeWith(*options_);
}
