#include "Serve.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "FanController.h"
#include "Format.h"
#include "Output.h"
#include "SMCError.h"
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

// Stop requests from SIGINT and SIGTERM. The handler only records the request and wakes
// the poll through the pipe; the stop itself runs on the daemon's thread between
// commands, never in the middle of a command's SMC calls.
volatile sig_atomic_t gStopRequested = 0;
int gWakePipe[2] = {-1, -1};

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
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    // A launcher may hand over a mask that blocks them; the daemon must still stop.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    ::sigprocmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

void ignoreBrokenPipe() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGPIPE, &sa, nullptr);
}

}  // namespace

// When the daemon stops, a fan that fails to go back to automatic control must not keep
// the others forced: each fan is tried, whatever happened to the ones before it.
void restoreEveryFan(FanController& ctl) {
    for (int fan = 0; fan < ctl.numberOfFans(); ++fan) {
        try {
            ctl.restoreAuto(fan);
        } catch (const std::exception&) {
            // Nothing more can be done for this fan; go on with the next.
        }
    }
}

namespace {

[[noreturn]] void stopDaemon(FanController& ctl) {
    restoreEveryFan(ctl);
    ::unlink(ORVANE_SOCKET_PATH);
    std::exit(0);
}

enum class Wait { ready, stop, timeout, failed };

using Clock = std::chrono::steady_clock;

// Waits until fd has one of `events`, a stop is requested, or the deadline passes (none
// when timeoutMs is negative).
Wait waitFor(int fd, short events, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (gStopRequested) return Wait::stop;
        int sliceMs = -1;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return Wait::timeout;
            sliceMs = static_cast<int>(left.count());
        }
        if (gWakePipe[0] < 0 && (sliceMs < 0 || sliceMs > kPollSliceWithoutPipe))
            sliceMs = kPollSliceWithoutPipe;
        pollfd fds[2] = {{fd, events, 0}, {gWakePipe[0], POLLIN, 0}};
        const int r = ::poll(fds, 2, sliceMs);
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return Wait::failed;
        }
        if (fds[1].revents != 0) drainWakePipe();
        if (fds[0].revents != 0 && !gStopRequested) return Wait::ready;
    }
}

enum class Sent { done, failed, stop, timeout };

// Sends all of data; a peer that reads slowly gets the rest as it makes room.
Sent sendAll(int fd, const std::string& data, int timeoutMs) {
    std::size_t offset = 0;
    while (offset < data.size()) {
        const ssize_t n = ::send(fd, data.data() + offset, data.size() - offset, kSendFlags);
        if (n > 0) {
            offset += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            switch (waitFor(fd, POLLOUT, timeoutMs)) {
                case Wait::ready:
                    continue;
                case Wait::stop:
                    return Sent::stop;
                case Wait::timeout:
                    return Sent::timeout;
                case Wait::failed:
                    return Sent::failed;
            }
        }
        return Sent::failed;
    }
    return Sent::done;
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
    if (lf == std::string::npos) {
        pending_.erase(0, start_);
        start_ = 0;
        return std::nullopt;
    }
    const std::string_view line(pending_.data() + start_, lf - start_);
    start_ = lf + 1;
    return line;
}

ClientEnd serveConnection(int fd, FanController& ctl, const ServeLimits& limits) {
    std::vector<char> buffer(kReadBufferSize, 0);
    RequestFramer framer(limits.maxPending);
    for (;;) {
        switch (waitFor(fd, POLLIN, limits.idleMs)) {
            case Wait::ready:
                break;
            case Wait::stop:
                return ClientEnd::stop;
            case Wait::timeout:
                return ClientEnd::idle;
            case Wait::failed:
                return ClientEnd::closed;
        }
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return ClientEnd::closed;  // an unterminated line is dropped unexecuted
        framer.append(std::string_view(buffer.data(), static_cast<std::size_t>(n)));

        while (const auto raw = framer.nextLine()) {
            if (gStopRequested) return ClientEnd::stop;
            const auto request = requestText(*raw);
            if (!request) continue;
            const std::string reply = serveCommand(*request, ctl);
            // A peer that has gone is noticed by the next read; the reply is still logged.
            switch (sendAll(fd, reply + "\n", limits.idleMs)) {
                case Sent::done:
                case Sent::failed:
                    break;
                case Sent::stop:
                    return ClientEnd::stop;
                case Sent::timeout:
                    return ClientEnd::idle;
            }
            eprint(texts::kServeLog + *request + texts::kServeLogArrow + reply);
            if (reply == texts::kReplyBye) return ClientEnd::quit;
        }
        if (framer.overlong()) return ClientEnd::overlong;
    }
}

void serveClient(int fd, FanController& ctl) {
    const ServeLimits limits;
    switch (serveConnection(fd, ctl, limits)) {
        case ClientEnd::closed:
            return;
        case ClientEnd::quit:
            // `quit` restored the fans before its reply; what is left is the socket file.
            ::unlink(ORVANE_SOCKET_PATH);
            std::exit(0);
        case ClientEnd::stop:
            stopDaemon(ctl);
        case ClientEnd::overlong:
            eprint(texts::kServeLogOverlong + std::to_string(limits.maxPending) +
                   texts::kServeLogOverlongTail);
            return;
        case ClientEnd::idle:
            eprint(texts::kServeLogIdle + std::to_string(limits.idleMs / 1000) +
                   texts::kServeLogIdleTail);
            return;
    }
}

int cmdServe(FanController& ctl) {
    // A peer that vanishes must never end the daemon: failed sends are reported as errors.
    ignoreBrokenPipe();
    // Taken over before anything is created, so that a stop signal at any later moment
    // restores the fans and removes the socket; one that arrives during start-up takes
    // effect as soon as the daemon waits for its first connection.
    installStopHandling();
    ::unlink(ORVANE_SOCKET_PATH);

    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (listener < 0) {
        eprintRaw(texts::kServeSocketFailed);
        return 1;
    }
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, ORVANE_SOCKET_PATH, std::strlen(ORVANE_SOCKET_PATH) + 1);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        eprint(texts::kServeBindFailed + std::to_string(err));
        return 1;
    }
    ::chmod(ORVANE_SOCKET_PATH, 0666);
    if (::listen(listener, kBacklog) != 0) {
        const int err = errno;
        eprint(texts::kServeListenFailed + std::to_string(err));
        return 1;
    }
    eprint(texts::kServeBanner + std::string(ORVANE_SOCKET_PATH) + texts::kServeBannerCount +
           std::to_string(ctl.numberOfFans()) + texts::kServeBannerTail);
    // Non-blocking, so that a connection withdrawn between the poll and the accept
    // cannot leave the daemon blocked in accept, deaf to stop signals.
    setFlags(listener);

    for (;;) {
        switch (waitFor(listener, POLLIN, -1)) {
            case Wait::ready:
                break;
            case Wait::stop:
                stopDaemon(ctl);
            case Wait::timeout:
                continue;
            case Wait::failed: {
                const int err = errno;
                eprint(texts::kServeAcceptFailed + std::to_string(err));
                return 1;
            }
        }
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0) {
            const int err = errno;
            // Interrupted, raced by the poll, or withdrawn by its peer: wait again.
            if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == ECONNABORTED)
                continue;
            eprint(texts::kServeAcceptFailed + std::to_string(err));
            return 1;
        }
        serveClient(client, ctl);
        ::close(client);
    }
}

}  // namespace orvtool
