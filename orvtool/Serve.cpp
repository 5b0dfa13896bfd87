#include "Serve.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <list>
#include <vector>

#include "FanController.h"
#include "ForcedMark.h"
#include "Format.h"
#include "Log.h"
#include "SMCError.h"
#include "SocketPath.h"
#include "Texts.h"
#include "Unicode.h"

namespace orvtool {

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
#else
constexpr int kSendFlags = MSG_DONTWAIT;  // SIGPIPE is ignored while serving
#endif

constexpr int kBacklog = 8;
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

// Stop requests from SIGINT, SIGTERM, SIGHUP and SIGQUIT. The handler only records the
// request and wakes the poll through the pipe; the stop itself runs on the daemon's
// thread between commands, never in the middle of a command's SMC calls.
volatile sig_atomic_t gStopRequested = 0;
int gWakePipe[2] = {-1, -1};
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The socket this process bound, removed at its stop.
BoundSocket gBound;

extern "C" void onStopSignal(int) {
    const int saved = errno;
    gStopRequested = 1;
    if (gWakePipe[1] >= 0) {
        const char byte = 1;
        (void)!::write(gWakePipe[1], &byte, 1);
    }
    errno = saved;
}

void drainWakePipe() {
    char buf[64];
    while (gWakePipe[0] >= 0 && ::read(gWakePipe[0], buf, sizeof buf) > 0) {
    }
}

bool setFlags(int fd) {
    const int fl = ::fcntl(fd, F_GETFL);
    const int fd_fl = ::fcntl(fd, F_GETFD);
    return fl >= 0 && fd_fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, fd_fl | FD_CLOEXEC) == 0;
}

void installStopHandling() {
    if (gWakePipe[0] < 0) {
        int fds[2];
        if (::pipe(fds) == 0) {
            if (setFlags(fds[0]) && setFlags(fds[1])) {
                gWakePipe[0] = fds[0];
                gWakePipe[1] = fds[1];
            } else {
                ::close(fds[0]);
                ::close(fds[1]);
            }
        }
    }
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    // Restarting keeps a signal from failing an SMC call that is under way; the waits of
    // the daemon itself are polls, which a signal always interrupts.
    sa.sa_flags = SA_RESTART;
    // A launcher may hand over a mask that blocks them; the daemon must still stop.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int sig : kStopSignals) {
        ::sigaction(sig, &sa, nullptr);
        sigaddset(&stopSignals, sig);
    }
    ::sigprocmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

void ignoreBrokenPipe() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGPIPE, &sa, nullptr);
}

void log(const std::string& line) {
    daemonLog().write(line);
}

// The mark of forced fans this daemon keeps; empty (servers inside tests) keeps none.
std::string gMarkPath;
bool gMarked = false;
bool gMarkFailed = false;

void markForced(bool forced) {
    if (gMarkPath.empty() || forced == gMarked) return;
    const int err = setForcedMark(gMarkPath, forced);
    if (err == 0) {
        gMarked = forced;
    } else if (!gMarkFailed) {
        log(texts::kServeLogMarkFailed + std::to_string(err) + texts::kServeLogMarkFailedTail +
            gMarkPath);
    }
    gMarkFailed = err != 0;
}

bool anyFanForced(FanController& ctl) {
    for (int fan = 0; fan < ctl.numberOfFans(); ++fan)
        if (ctl.isForced(fan)) return true;
    return false;
}

// Before a command that may force a fan, so that a daemon killed in the middle of it
// still leaves the mark; after a command that hands fans back, once none is forced.
void markBefore(const std::string& request) {
    if (request.rfind("set ", 0) == 0) markForced(true);
}

void markAfter(const std::string& reply, FanController& ctl) {
    if (!gMarked) return;
    if (reply == texts::kReplyAutoAll ||
        (reply.rfind(texts::kReplyAutoFan, 0) == 0 && !anyFanForced(ctl)))
        markForced(false);
}

}  // namespace

// When the daemon stops, a fan that fails to go back to automatic control must not keep
// the others forced: each fan is tried, whatever happened to the ones before it.
bool restoreEveryFan(FanController& ctl) {
    bool all = true;
    try {
        // Fans that fail are passed over, the rest still restored.
        all = ctl.restoreEveryFan().failed.empty();
    } catch (const std::exception&) {
        // Only an error outside the SMC's (out of memory) lands here: each fan on its own.
        for (int fan = 0; fan < ctl.numberOfFans(); ++fan) {
            try {
                ctl.restoreAuto(fan);
            } catch (const std::exception&) {
                all = false;  // nothing more can be done for this fan; go on with the next
            }
        }
    }
    // A fan that did not go back keeps the mark, for the next start to try again.
    if (all) markForced(false);
    return all;
}

namespace {

[[noreturn]] void stopDaemon(FanController& ctl) {
    restoreEveryFan(ctl);
    removeOwnSocket(ORVANE_SOCKET_PATH, gBound);
    std::exit(0);
}

std::vector<std::string_view> splitWords(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        const std::size_t space = line.find(' ', i);
        const std::size_t end = space == std::string_view::npos ? line.size() : space;
        if (end > i) words.push_back(line.substr(i, end - i));
        i = end + 1;
    }
    return words;
}

// The hardware layer takes fan indices as int. An index beyond that range is rejected
// with the error the layer gives any index outside the fan count, instead of being
// narrowed into a valid index of another fan.
int fanIndex(std::int64_t fan) {
    if (fan < INT_MIN || fan > INT_MAX)
        throw SMCError::keyNotFound("F" + std::to_string(fan) + "Mn");
    return static_cast<int>(fan);
}

std::string errorReply(const std::exception& e) {
    if (const auto* smc = dynamic_cast<const SMCError*>(&e))
        return texts::kReplyError + smc->description();
    return texts::kReplyError + std::string(e.what());
}

}  // namespace

std::optional<std::string> requestText(std::string_view line) {
    const auto decoded = unicode::decodeUTF8(line);
    if (!decoded) return std::nullopt;
    const auto blank = [](char32_t c) { return c == U'\t' || unicode::isSpaceSeparator(c); };
    std::u32string_view text = *decoded;
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    return unicode::encodeUTF8(text);
}

std::string serveCommand(const std::string& line, FanController& ctl) {
    const std::vector<std::string_view> words = splitWords(line);
    const std::string_view command = words.empty() ? std::string_view() : words.front();

    if (command == "ping") return texts::kReplyPong + std::to_string(ctl.numberOfFans());

    if (command == "set") {
        const auto fan = words.size() == 3 ? parseInteger(words[1]) : std::nullopt;
        const auto rpm = fan ? parseInteger(words[2]) : std::nullopt;
        if (!fan || !rpm) return texts::kReplySetUsage;
        try {
            const std::int64_t written = ctl.setFanRPM(fanIndex(*fan), *rpm);
            return texts::kReplySet + std::to_string(*fan) + texts::kReplySetRPM +
                   std::to_string(written);
        } catch (const std::exception& e) {
            return errorReply(e);
        }
    }

    if (command == "auto") {
        // A second word that is not a number falls back to restoring every fan.
        const auto fan = words.size() == 2 ? parseInteger(words[1]) : std::nullopt;
        try {
            if (fan) {
                ctl.restoreAuto(fanIndex(*fan));
                return texts::kReplyAutoFan + std::to_string(*fan);
            }
            ctl.restoreAllAuto();
            return texts::kReplyAutoAll;
        } catch (const std::exception& e) {
            return errorReply(e);
        }
    }

    if (command == "quit") {
        restoreEveryFan(ctl);  // the daemon stops and says so whatever the SMC says
        return texts::kReplyBye;
    }

    return texts::kReplyUnknown + line;
}

std::optional<std::string_view> RequestFramer::nextLine() {
    const std::size_t lf = pending_.find('\n', start_);
    if (lf == std::string::npos || lf - start_ > maxPending_) {
        pending_.erase(0, start_);
        start_ = 0;
        return std::nullopt;
    }
    const std::string_view line(pending_.data() + start_, lf - start_);
    start_ = lf + 1;
    return line;
}

namespace {

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
    if (fd >= 0) setFlags(fd);
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
    std::optional<ClientEnd> end;
};

enum class Outcome { drained, quit, stop, failed };

// The daemon's loop: one thread, one poll over the listener, the wake-up pipe and every
// connection. Each turn reads at most one buffer from each connection and answers at most
// linesPerTurn of its lines, so no client can keep the others waiting.
class Server {
  public:
    Server(FanController& ctl, const ServeLimits& limits, int listener)
        : ctl_(ctl), limits_(limits), listener_(listener), buffer_(kReadBufferSize, 0) {}
    ~Server() {
        for (Connection& c : conns_)
            if (c.ownsFd) ::close(c.fd);
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
                                    std::nullopt});
    }

    // Runs until `quit` or a stop; without a listener also until no connection is left.
    // `failedErrno` tells why the loop failed.
    Outcome run();

    std::optional<ClientEnd> lastEnd;
    int failedErrno = 0;

  private:
    void acceptSome(Clock::time_point now);
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
    int listener_;
    Clock::time_point acceptPausedUntil_{};
    std::list<Connection> conns_;
    std::vector<char> buffer_;
    std::vector<std::string> pendingLog_;
};

// The log lines of answered requests, written after their replies were sent, so that the
// log write is not part of a client's wait.
void Server::writePendingLog() {
    for (const std::string& line : pendingLog_)
        log(line);
    pendingLog_.clear();
}

void Server::acceptSome(Clock::time_point now) {
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        const int fd = acceptConnection(listener_);
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
        const int cap = uid == 0 ? limits_.perRoot : limits_.perUser;
        const auto same = std::count_if(conns_.begin(), conns_.end(),
                                        [uid](const Connection& c) { return c.uid == uid; });
        const auto others = std::count_if(conns_.begin(), conns_.end(),
                                          [](const Connection& c) { return c.uid != 0; });
        if (uid != 0 && others >= limits_.total) {
            ::close(fd);
            log(texts::kServeLogRefusedTotal);
        } else if (same >= cap) {
            ::close(fd);
            log(texts::kServeLogRefused + std::to_string(uid) + texts::kServeLogRefusedTail);
        } else {
            add(fd, true, uid);
        }
    }
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
        if (gStopRequested) return false;
        const auto raw = c.framer.nextLine();
        if (!raw) break;
        tookLine = true;
        const auto request = requestText(*raw);
        if (!request) continue;  // empty or not UTF-8: no reply, and no time is gained
        markBefore(*request);
        const std::string reply = serveCommand(*request, ctl_);
        markAfter(reply, ctl_);
        if (c.out.empty()) c.outSince = now;
        c.out += reply;
        c.out += '\n';
        c.lastAnswer = now;
        // Written once the replies of this turn are on their way (writePendingLog).
        pendingLog_.push_back(texts::kServeLog + logText(*request) + texts::kServeLogArrow +
                              logText(reply, kLogReplyBytes));
        if (reply == texts::kReplyBye) return true;
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
    } else if (now - c.lastAnswer >= Ms(limits_.idleMs)) {
        c.end = ClientEnd::idle;
    }
}

Clock::time_point Server::nextTime(const Connection& c) const {
    if (c.end || c.framer.hasLine()) return Clock::time_point::min();
    if (!c.out.empty()) return c.outSince + Ms(limits_.idleMs);
    if (c.framer.partial()) return c.lineStart + Ms(limits_.lineMs);
    return c.lastAnswer + Ms(limits_.idleMs);
}

void Server::finish(Connection& c) {
    const ClientEnd end = *c.end;
    lastEnd = end;
    if (c.ownsFd) ::close(c.fd);
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
        if (c.out.empty() || c.end || now >= deadline || gStopRequested) return;
        pollfd p{c.fd, POLLOUT, 0};
        ::poll(&p, 1, msUntil(deadline, now));
    }
}

Outcome Server::run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    for (;;) {
        if (gStopRequested) return Outcome::stop;
        if (listener_ < 0 && conns_.empty()) return Outcome::drained;

        auto now = Clock::now();
        fds.clear();
        polled.clear();
        fds.push_back({gWakePipe[0], POLLIN, 0});
        const bool listening = listener_ >= 0 && now >= acceptPausedUntil_;
        fds.push_back({listening ? listener_ : -1, POLLIN, 0});
        auto wake = Clock::time_point::max();
        if (listener_ >= 0 && !listening) wake = acceptPausedUntil_;
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
        int timeout = wake == Clock::time_point::max() ? -1 : msUntil(wake, now);
        if (gWakePipe[0] < 0 && (timeout < 0 || timeout > kPollSliceWithoutPipe))
            timeout = kPollSliceWithoutPipe;

        if (::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout) < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            failedErrno = errno;
            return Outcome::failed;
        }
        if (fds[0].revents != 0) drainWakePipe();
        if (gStopRequested) return Outcome::stop;
        now = Clock::now();

        for (std::size_t i = 0; i < polled.size(); ++i) {
            Connection& c = *polled[i];
            const short revents = fds[i + 2].revents;
            if (!c.out.empty() && (revents & (POLLOUT | POLLERR | POLLHUP))) flush(c, now);
            if (!c.end && (fds[i + 2].events & POLLIN) && (revents & (POLLIN | POLLERR | POLLHUP)))
                readOnce(c, now);
            if (!c.end && answer(c, now)) {
                sendBye(c);
                writePendingLog();
                return Outcome::quit;
            }
            if (!c.end && !c.out.empty()) flush(c, now);
            writePendingLog();
            if (gStopRequested) return Outcome::stop;
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
        if (listening && (fds[1].revents & (POLLIN | POLLERR | POLLHUP))) {
            acceptSome(now);
            if (failedErrno != 0) return Outcome::failed;
        }
    }
}

}  // namespace

ClientEnd serveConnection(int fd, FanController& ctl, const ServeLimits& limits) {
    Server server(ctl, limits, -1);
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

void serveClient(int fd, FanController& ctl) {
    switch (serveConnection(fd, ctl)) {
        case ClientEnd::quit:
            // `quit` restored the fans before its reply; what is left is the socket file.
            removeOwnSocket(ORVANE_SOCKET_PATH, gBound);
            std::exit(0);
        case ClientEnd::stop:
            stopDaemon(ctl);
        default:
            return;
    }
}

namespace {

std::string foundText(Found found) {
    switch (found) {
        case Found::socket:
            return texts::kFoundSocket;
        case Found::symlink:
            return texts::kFoundSymlink;
        case Found::file:
            return texts::kFoundFile;
        case Found::fifo:
            return texts::kFoundFifo;
        case Found::directory:
            return texts::kFoundDirectory;
        case Found::other:
        case Found::nothing:
            break;
    }
    return texts::kFoundOther;
}

// A failure once the socket is bound: the fans go back to automatic control and the
// socket goes away before the process ends with status 1.
int failBound(FanController& ctl, const std::string& message) {
    log(message);
    restoreEveryFan(ctl);
    removeOwnSocket(ORVANE_SOCKET_PATH, gBound);
    return 1;
}

}  // namespace

int cmdServe(FanController& ctl) {
    // A peer that vanishes must never end the daemon: failed sends are reported as errors.
    ignoreBrokenPipe();
    // Taken over before anything is created, so that a stop signal at any later moment
    // restores the fans and removes the socket; one that arrives during start-up takes
    // effect as soon as the daemon waits for its first connection.
    installStopHandling();
    const std::string logRefused = daemonLog().start(ORVANE_LOG_DIR);

    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (listener < 0) {
        const std::string text = texts::kServeSocketFailed;
        log(text.substr(0, text.size() - 1));  // the log adds the line feed
        return 1;
    }
    // Non-blocking, so that a connection withdrawn between the poll and the accept
    // cannot leave the daemon blocked in accept, deaf to stop signals.
    setFlags(listener);
    gBound = bindReplacing(listener, ORVANE_SOCKET_PATH);
    if (gBound.err != 0) {
        log(texts::kServeBindFailed + std::to_string(gBound.err));
        return 1;
    }
    if (::listen(listener, kBacklog) != 0) {
        const int err = errno;
        return failBound(ctl, texts::kServeListenFailed + std::to_string(err));
    }
    log(texts::kServeBanner + std::string(ORVANE_SOCKET_PATH) + texts::kServeBannerCount +
        std::to_string(ctl.numberOfFans()) + texts::kServeBannerTail);
    if (!logRefused.empty()) log(logRefused);
    gMarkPath = ORVANE_FORCED_MARK_PATH;
    if (forcedMarkPresent(gMarkPath)) {
        gMarked = true;
        log(restoreEveryFan(ctl) ? texts::kServeLogLeftForced : texts::kServeLogLeftForcedFailed);
    }
    if (gBound.cleared.found != Found::nothing) {
        std::string line = texts::kServeFoundAt + std::string(ORVANE_SOCKET_PATH) +
                           texts::kServeFoundWas + foundText(gBound.cleared.found);
        line += gBound.cleared.movedTo.empty()
                    ? std::string(texts::kServeFoundReplaced)
                    : texts::kServeFoundMoved + logText(gBound.cleared.movedTo);
        log(line);
    }

    Server server(ctl, ServeLimits{}, listener);
    switch (server.run()) {
        case Outcome::quit:
            // `quit` restored the fans before its reply; what is left is the socket file.
            removeOwnSocket(ORVANE_SOCKET_PATH, gBound);
            std::exit(0);
        case Outcome::stop:
            stopDaemon(ctl);
        case Outcome::drained:
        case Outcome::failed:
            break;
    }
    return failBound(ctl, texts::kServeAcceptFailed + std::to_string(server.failedErrno));
}

}  // namespace orvtool
