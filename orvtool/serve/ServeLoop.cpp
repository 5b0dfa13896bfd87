#include "ServeLoop.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ControlProtocol.h"
#include "FanController.h"
#include "Log.h"
#include "ServeFans.h"
#include "ServeLeases.h"
#include "ServeCommand.h"
#include "StopSignals.h"
#include "Texts.h"

namespace orvtool {

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
#else
constexpr int kSendFlags = MSG_DONTWAIT;  // SIGPIPE is ignored while serving
#endif

constexpr std::size_t kReadBufferSize = 4096;
// Without a wake-up pipe a stop request is noticed within this many milliseconds.
constexpr int kPollSliceWithoutPipe = 200;
// After accept fails for want of descriptors or memory, the listener rests this long.
constexpr int kAcceptPauseMs = 200;
// Connections accepted in one turn of the loop.
constexpr int kAcceptsPerTurn = 16;
// How long the reply to `quit` may wait for its reader before the daemon stops anyway.
constexpr int kByeWaitMs = 2000;
// Bytes of a reply kept in its log line (the unknown-command reply quotes the request).
constexpr std::size_t kLogReplyBytes = kLogTextBytes + 64;

void log(const std::string& line) {
    daemonLog().write(line);
}

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// The peer's user, for the per-user cap; -1 when it cannot be told.
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

int acceptConnection(int listener) {
#ifdef __linux__
    return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd >= 0) setPollFlags(fd);
    return fd;
#endif
}

// Errors of accept that leave the listener as it was: the daemon waits a moment and
// accepts again. Any other error means the listener itself is broken.
bool acceptMayRecover(int err) {
    return err != EBADF && err != EINVAL && err != ENOTSOCK && err != EOPNOTSUPP && err != EFAULT;
}

int msUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now) return 0;
    // Rounded up, so that a wake-up never comes just before the moment it waits for.
    return static_cast<int>(std::chrono::duration_cast<Ms>(when - now).count()) + 1;
}

// The log of refused connections: the first refusal of a user is logged at once, the
// ones after it within the interval only counted, and the count logged in one line when
// the interval ends. A connect storm thus cannot push the history out of the log.
class RefusalLog {
  public:
    explicit RefusalLog(int intervalMs) : interval_(intervalMs) {}

    // overTotal: refused for the places all other users share, not for the user's own.
    void refused(long uid, bool overTotal, Clock::time_point now) {
        auto it = windows_.find(uid);
        if (it != windows_.end() && now < it->second.start + interval_) {
            ++it->second.suppressed;
            return;
        }
        if (it != windows_.end()) close(it->first, it->second);
        log(overTotal
                ? std::string(texts::kServeLogRefusedTotal)
                : texts::kServeLogRefused + std::to_string(uid) + texts::kServeLogRefusedTail);
        windows_[uid] = Window{now, 0};
    }
    // Logs the counts of the intervals that have ended.
    void closeEnded(Clock::time_point now) {
        for (auto it = windows_.begin(); it != windows_.end();) {
            if (now < it->second.start + interval_) {
                ++it;
                continue;
            }
            close(it->first, it->second);
            it = windows_.erase(it);
        }
    }
    // Logs every count now.
    void closeAll() {
        for (const auto& [uid, window] : windows_)
            close(uid, window);
        windows_.clear();
    }
    // When the next count is due; max() when none is.
    Clock::time_point nextDue() const {
        auto due = Clock::time_point::max();
        for (const auto& [uid, window] : windows_)
            if (window.suppressed > 0) due = std::min(due, window.start + interval_);
        return due;
    }

  private:
    struct Window {
        Clock::time_point start;
        long suppressed;
    };
    void close(long uid, const Window& window) {
        if (window.suppressed == 0) return;
        log(texts::kServeLogRefusedCount + std::to_string(uid) + texts::kServeLogRefusedCountIn +
            std::to_string(interval_.count() / 1000) + texts::kServeLogRefusedCountMore +
            std::to_string(window.suppressed) + texts::kServeLogRefusedCountTail);
    }

    Ms interval_;
    std::map<long, Window> windows_;
};

struct Connection {
    int fd;
    bool ownsFd;
    long uid;
    RequestFramer framer;
    std::string out;               // replies not yet taken by the peer
    Clock::time_point lastAnswer;  // connect, or the last answered request
    Clock::time_point lineStart;   // first byte of the unfinished line
    Clock::time_point outSince;    // when `out` last became non-empty or moved
    Clock::time_point lastRead;    // when bytes last arrived
    bool eof = false;              // the peer sends nothing more
    bool held = false;             // a lease (`hold`): never idle
    std::optional<ClientEnd> end;
};

enum class Outcome { drained, quit, stop, failed };

// The daemon's loop: one thread, one poll over the listener, the wake-up pipe and every
// connection. Each turn reads at most one buffer from each connection and answers at most
// linesPerTurn of its lines, so no client can keep the others waiting.
class Server {
  public:
    Server(FanController& ctl, const ServeLimits& limits, std::vector<int> listeners)
        : ctl_(ctl),
          limits_(limits),
          listeners_(std::move(listeners)),
          refusals_(limits.refusalLogMs),
          buffer_(kReadBufferSize, 0),
          leases_(Ms(limits.leaseGraceMs)) {}
    ~Server() {
        for (Connection& c : conns_)
            if (c.ownsFd) ::close(c.fd);
        refusals_.closeAll();  // a stop still tells how many were refused
    }

    void add(int fd, bool ownsFd, long uid) {
        const auto now = Clock::now();
        conns_.push_back(Connection{fd,
                                    ownsFd,
                                    uid,
                                    RequestFramer(limits_.maxPending),
                                    {},
                                    now,
                                    now,
                                    now,
                                    now,
                                    false,
                                    false,
                                    std::nullopt});
    }

    // Runs until `quit` or a stop; without a listener also until no connection is left.
    // `failedErrno` tells why the loop failed.
    Outcome run();

    std::optional<ClientEnd> lastEnd;
    int failedErrno = 0;

  private:
    void acceptSome(int listener, Clock::time_point now);
    // Why a new connection of `uid` is refused; nothing when it is within the caps.
    enum class Cap { own, total };
    std::optional<Cap> exceeded(long uid) const;
    void refuse(int fd, long uid, Cap cap, Clock::time_point now);
    void readOnce(Connection& c, Clock::time_point now);
    // Answers the lines waiting; true when one of them was `quit`.
    bool answer(Connection& c, Clock::time_point now);
    void flush(Connection& c, Clock::time_point now);
    void checkTimes(Connection& c, Clock::time_point now);
    Clock::time_point nextTime(const Connection& c) const;
    void finish(Connection& c);
    void sendBye(Connection& c);
    void writePendingLog();

    FanController& ctl_;
    ServeLimits limits_;
    std::vector<int> listeners_;
    RefusalLog refusals_;
    Clock::time_point acceptPausedUntil_{};
    std::list<Connection> conns_;
    std::vector<char> buffer_;
    std::vector<std::string> pendingLog_;
    ServeLeases leases_;
};

// The log lines of answered requests, written after their replies were sent, so that the
// log write is not part of a client's wait.
void Server::writePendingLog() {
    for (const std::string& line : pendingLog_)
        log(line);
    pendingLog_.clear();
}

void Server::acceptSome(int listener, Clock::time_point now) {
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        const int fd = acceptConnection(listener);
        if (fd < 0) {
            const int err = errno;
            // Interrupted, raced by the poll, or withdrawn by its peer: nothing to do.
            if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == ECONNABORTED) return;
            if (!acceptMayRecover(err)) {
                failedErrno = err;
                return;
            }
            // Out of descriptors or memory: those waiting stay queued until some are freed.
            log(texts::kServeLogAcceptRetry + std::to_string(err) +
                texts::kServeLogAcceptRetryTail);
            acceptPausedUntil_ = now + Ms(kAcceptPauseMs);
            return;
        }
        const long uid = peerUid(fd);
        if (const auto cap = exceeded(uid)) {
            refuse(fd, uid, *cap, now);
        } else {
            add(fd, true, uid);
        }
    }
}

// Root, the owner and everyone else each have places of their own; the other users share
// a total besides their own cap.
std::optional<Server::Cap> Server::exceeded(long uid) const {
    const bool owner = uid != 0 && uid == limits_.ownerUid;
    const int cap = uid == 0 ? limits_.perRoot : owner ? limits_.perOwner : limits_.perUser;
    const auto same = std::count_if(conns_.begin(), conns_.end(),
                                    [uid](const Connection& c) { return c.uid == uid; });
    if (same >= cap) return Cap::own;
    if (uid == 0 || owner) return std::nullopt;
    const auto others = std::count_if(conns_.begin(), conns_.end(), [this](const Connection& c) {
        return c.uid != 0 && c.uid != limits_.ownerUid;
    });
    if (others >= limits_.total) return Cap::total;
    return std::nullopt;
}

// The client learns that the daemon is there but busy (it must not take it for a dead one
// and start another), in one line a fresh connection always has room for.
void Server::refuse(int fd, long uid, Cap cap, Clock::time_point now) {
    const std::string busy = std::string(protocol::kReplyBusy) + "\n";
    (void)!::send(fd, busy.data(), busy.size(), kSendFlags);
    ::close(fd);
    refusals_.refused(uid, cap == Cap::total, now);
}

void Server::readOnce(Connection& c, Clock::time_point now) {
    const ssize_t n = ::recv(c.fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        // The peer sends nothing more: its complete lines are still answered, an
        // unfinished one is dropped unexecuted.
        c.eof = true;
        if (n < 0) c.end = ClientEnd::closed;
        return;
    }
    const bool wasPartial = c.framer.partial();
    c.framer.append(std::string_view(buffer_.data(), static_cast<std::size_t>(n)));
    if (!wasPartial) c.lineStart = now;
    c.lastRead = now;
}

bool Server::answer(Connection& c, Clock::time_point now) {
    bool tookLine = false;
    for (int budget = limits_.linesPerTurn; budget > 0 && !c.end; --budget) {
        if (stopRequested()) return false;
        const auto raw = c.framer.nextLine();
        if (!raw) break;
        tookLine = true;
        const auto request = requestText(*raw);
        if (!request) continue;  // empty or not UTF-8: no reply, and no time is gained
        std::string reply;
        if (isHoldRequest(*request)) {
            reply = leases_.hold(c.uid, c.held);
        } else {
            markBefore(*request);
            reply = serveRequest(*request, ctl_, c.uid, limits_.ownerUid);
            markAfter(*request, reply, ctl_);
            leases_.answered(c.uid, reply);
        }
        if (c.out.empty()) c.outSince = now;
        c.out += reply;
        c.out += '\n';
        c.lastAnswer = now;
        // Written once the replies of this turn are on their way (writePendingLog).
        pendingLog_.push_back(texts::kServeLog + logText(*request) + texts::kServeLogArrow +
                              logText(reply, kLogReplyBytes));
        if (reply == protocol::kReplyBye) return true;
        if (c.out.size() > limits_.maxOutput) c.end = ClientEnd::backlog;
    }
    // The unfinished line after the last complete one began with the bytes read last.
    if (tookLine && c.framer.partial()) c.lineStart = c.lastRead;
    if (!c.end && !c.framer.hasLine()) {
        if (c.framer.overlong()) {
            c.end = ClientEnd::overlong;
        } else if (c.eof && c.out.empty()) {
            c.end = ClientEnd::closed;
        }
    }
    return false;
}

void Server::flush(Connection& c, Clock::time_point now) {
    std::size_t sent = 0;
    while (sent < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + sent, c.out.size() - sent, kSendFlags);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        c.out.clear();  // the peer has gone
        c.end = ClientEnd::closed;
        return;
    }
    if (sent == 0) return;
    c.out.erase(0, sent);
    c.outSince = now;
    if (c.out.empty() && c.eof && !c.framer.hasLine() && !c.end) c.end = ClientEnd::closed;
}

void Server::checkTimes(Connection& c, Clock::time_point now) {
    if (c.end) return;
    if (!c.out.empty()) {
        if (now - c.outSince >= Ms(limits_.idleMs)) c.end = ClientEnd::idle;
    } else if (c.framer.hasLine()) {
        // Lines wait for their turn: the daemon, not the client, is behind.
    } else if (c.framer.partial()) {
        if (now - c.lineStart >= Ms(limits_.lineMs)) c.end = ClientEnd::late;
    } else if (!c.held && now - c.lastAnswer >= Ms(limits_.idleMs)) {
        c.end = ClientEnd::idle;
    }
}

Clock::time_point Server::nextTime(const Connection& c) const {
    if (c.end || c.framer.hasLine()) return Clock::time_point::min();
    if (!c.out.empty()) return c.outSince + Ms(limits_.idleMs);
    if (c.framer.partial()) return c.lineStart + Ms(limits_.lineMs);
    if (c.held) return Clock::time_point::max();
    return c.lastAnswer + Ms(limits_.idleMs);
}

void Server::finish(Connection& c) {
    const ClientEnd end = *c.end;
    lastEnd = end;
    if (c.ownsFd) ::close(c.fd);
    if (c.held) leases_.closed(c.uid, Clock::now());
    switch (end) {
        case ClientEnd::overlong:
            log(texts::kServeLogOverlong + std::to_string(limits_.maxPending) +
                texts::kServeLogOverlongTail);
            break;
        case ClientEnd::idle:
            log(texts::kServeLogIdle + std::to_string(limits_.idleMs / 1000) +
                texts::kServeLogIdleTail);
            break;
        case ClientEnd::late:
            log(texts::kServeLogLate + std::to_string(limits_.lineMs / 1000) +
                texts::kServeLogLateTail);
            break;
        case ClientEnd::backlog:
            log(texts::kServeLogBacklog + std::to_string(limits_.maxOutput) +
                texts::kServeLogBacklogTail);
            break;
        case ClientEnd::closed:
        case ClientEnd::quit:
        case ClientEnd::stop:
            break;
    }
}

// The reply to `quit` reaches a reader before the stop; one that does not read is not
// waited for long.
void Server::sendBye(Connection& c) {
    const auto deadline = Clock::now() + Ms(std::min(kByeWaitMs, limits_.idleMs));
    for (;;) {
        const auto now = Clock::now();
        flush(c, now);
        if (c.out.empty() || c.end || now >= deadline || stopRequested()) return;
        pollfd p{c.fd, POLLOUT, 0};
        ::poll(&p, 1, msUntil(deadline, now));
    }
}

Outcome Server::run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    const std::size_t first = 1 + listeners_.size();  // the wake-up pipe, the listeners
    for (;;) {
        if (stopRequested()) return Outcome::stop;
        if (listeners_.empty() && conns_.empty()) return Outcome::drained;

        auto now = Clock::now();
        fds.clear();
        polled.clear();
        fds.push_back({wakeFd(), POLLIN, 0});
        const bool listening = !listeners_.empty() && now >= acceptPausedUntil_;
        for (const int listener : listeners_)
            fds.push_back({listening ? listener : -1, POLLIN, 0});
        auto wake = refusals_.nextDue();
        if (!listeners_.empty() && !listening) wake = std::min(wake, acceptPausedUntil_);
        for (Connection& c : conns_) {
            short events = 0;
            // Nothing more is read while lines wait for their turn or replies pile up.
            if (!c.eof && !c.framer.hasLine() && c.out.size() <= limits_.maxOutput)
                events |= POLLIN;
            if (!c.out.empty()) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
            polled.push_back(&c);
            wake = std::min(wake, nextTime(c));
        }
        if (const auto due = leases_.nextDue()) wake = std::min(wake, *due);
        int timeout = wake == Clock::time_point::max() ? -1 : msUntil(wake, now);
        if (wakeFd() < 0 && (timeout < 0 || timeout > kPollSliceWithoutPipe))
            timeout = kPollSliceWithoutPipe;

        if (::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout) < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            failedErrno = errno;
            return Outcome::failed;
        }
        if (fds[0].revents != 0) drainWakePipe();
        if (stopRequested()) return Outcome::stop;
        now = Clock::now();
        leases_.handBackDue(ctl_, now);

        for (std::size_t i = 0; i < polled.size(); ++i) {
            Connection& c = *polled[i];
            const pollfd& p = fds[first + i];
            if (!c.out.empty() && (p.revents & (POLLOUT | POLLERR | POLLHUP))) flush(c, now);
            if (!c.end && (p.events & POLLIN) && (p.revents & (POLLIN | POLLERR | POLLHUP)))
                readOnce(c, now);
            if (!c.end && answer(c, now)) {
                sendBye(c);
                writePendingLog();
                return Outcome::quit;
            }
            if (!c.end && !c.out.empty()) flush(c, now);
            writePendingLog();
            if (stopRequested()) return Outcome::stop;
            checkTimes(c, now);
        }
        for (auto it = conns_.begin(); it != conns_.end();) {
            if (it->end) {
                finish(*it);
                it = conns_.erase(it);
            } else {
                ++it;
            }
        }
        refusals_.closeEnded(now);
        for (std::size_t l = 0; listening && l < listeners_.size(); ++l) {
            if (!(fds[1 + l].revents & (POLLIN | POLLERR | POLLHUP))) continue;
            acceptSome(listeners_[l], now);
            if (failedErrno != 0) return Outcome::failed;
        }
    }
}

}  // namespace

ClientEnd serveConnection(int fd, FanController& ctl, const ServeLimits& limits) {
    Server server(ctl, limits, {});
    server.add(fd, false, peerUid(fd));
    switch (server.run()) {
        case Outcome::quit:
            return ClientEnd::quit;
        case Outcome::stop:
            return ClientEnd::stop;
        case Outcome::drained:
        case Outcome::failed:
            break;
    }
    return server.lastEnd.value_or(ClientEnd::closed);
}

LoopEnd serveListeners(const std::vector<int>& listeners, FanController& ctl,
                       const ServeLimits& limits) {
    Server server(ctl, limits, listeners);
    switch (server.run()) {
        case Outcome::quit:
            return {LoopEnd::quit};
        case Outcome::stop:
            return {LoopEnd::stop};
        case Outcome::drained:
        case Outcome::failed:
            break;
    }
    return {LoopEnd::failed, server.failedErrno};
}

}  // namespace orvtool
