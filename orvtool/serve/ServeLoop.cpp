#include "ServeLoop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <list>
#include <optional>
#include <string>

#include "Admission.h"
#include "Dispatch.h"
#include "Log.h"
#include "PowerEvents.h"
#include "RefusalLog.h"
#include "ServeFans.h"
#include "ServeTexts.h"
#include "SocketIO.h"
#include "StopSignals.h"

namespace orvtool {

namespace {

constexpr std::size_t kReadBufferSize = 4096;
// Without a wake-up pipe a stop request is noticed within this many milliseconds.
constexpr int kPollSliceWithoutPipe = 200;
// After accept fails for want of descriptors or memory, the listener rests this long.
constexpr int kAcceptPauseMs = 200;
// Connections accepted in one turn of the loop.
constexpr int kAcceptsPerTurn = 16;
// How long the reply to `quit` may wait for its reader before the daemon stops anyway.
constexpr int kByeWaitMs = 2000;

enum class Outcome { drained, quit, stop, failed };

// One thread, one poll over the listeners, the wake-up pipe and every connection. Each
// turn reads at most one buffer from each connection and answers at most linesPerTurn of
// its lines, so no client can keep the others waiting.
class Server {
  public:
    Server(FanController& ctl, const ServeLimits& limits, std::vector<int> listeners,
           DaemonLog& log, ForcedFans& fans, const StopSignals* stop, const PowerWatch& power = {},
           const std::string& stateDir = {})
        : limits_(limits),
          listeners_(std::move(listeners)),
          log_(log),
          stop_(stop),
          wakeFd_(stop ? stop->wakeFd() : -1),
          power_(power.events),
          refusals_(log, limits.refusalLogMs),
          buffer_(kReadBufferSize, 0),
          dispatcher_(ctl, limits_, log, fans, conns_,
                      power.sleptSeconds ? power.sleptSeconds : power::sleptSeconds, stateDir) {}
    ~Server() {
        for (Connection& c : conns_)
            if (c.ownsFd) ::close(c.fd);
        refusals_.closeAll();  // a stop still tells how many were refused
    }

    void add(int fd, bool ownsFd, long uid) {
        conns_.emplace_back(fd, ownsFd, uid, limits_, Clock::now());
    }

    // Runs until `quit` or a stop; without a listener also until no connection is left.
    // `failedErrno` tells why the loop failed.
    Outcome run();

    std::optional<ClientEnd> lastEnd;
    int failedErrno = 0;

  private:
    void acceptSome(int listener, Clock::time_point now);
    void finish(Connection& c);
    void sendBye(Connection& c);
    // Serves the power events when their descriptor or time came.
    void servePower(short revents, Clock::time_point now);

    ServeLimits limits_;
    std::vector<int> listeners_;
    DaemonLog& log_;
    const StopSignals* stop_;  // none: no wake-up pipe, stops are noticed between polls
    int wakeFd_;
    power::PowerEvents* power_;  // none: wakes are found by the clocks alone
    RefusalLog refusals_;
    Clock::time_point acceptPausedUntil_{};
    std::list<Connection> conns_;
    std::vector<char> buffer_;
    Dispatcher dispatcher_;
};

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
            log_.write(texts::kServeLogAcceptRetry + std::to_string(err) +
                       texts::kServeLogAcceptRetryTail);
            acceptPausedUntil_ = now + Ms(kAcceptPauseMs);
            return;
        }
        const long uid = peerUid(fd);
        if (const auto cap = exceededCap(uid, conns_, limits_)) {
            refuseBusy(fd);
            refusals_.refused(uid, *cap == Cap::total, now);
            dispatcher_.connectionRefused();
        } else {
            add(fd, true, uid);
        }
    }
}

void Server::finish(Connection& c) {
    const ClientEnd end = *c.end;
    lastEnd = end;
    if (c.ownsFd) ::close(c.fd);
    dispatcher_.closed(c, Clock::now());
    if (const std::string line = endText(end, limits_); !line.empty()) log_.write(line);
}

// The reply to `quit` reaches a reader before the stop; one that does not read is not
// waited for long.
void Server::sendBye(Connection& c) {
    const auto deadline = Clock::now() + Ms(std::min(kByeWaitMs, limits_.idleMs));
    for (;;) {
        const auto now = Clock::now();
        c.flush(now);
        if (c.out.empty() || c.end || now >= deadline || stopRequested()) return;
        pollfd p{c.fd, POLLOUT, 0};
        ::poll(&p, 1, msUntil(deadline, now));
    }
}

void Server::servePower(short revents, Clock::time_point now) {
    const auto due = power_->nextDue();
    if (revents == 0 && (!due || now < *due)) return;
    for (const power::PowerEvent event : power_->take()) {
        if (event == power::PowerEvent::willSleep) {
            dispatcher_.willSleep(now);
            power_->readyForSleep();
        } else {
            dispatcher_.hasWoken(now);
        }
    }
}

Outcome Server::run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    // The wake-up pipe, the power events' descriptor, the listeners.
    const std::size_t first = 2 + listeners_.size();
    for (;;) {
        if (stopRequested()) return Outcome::stop;
        if (listeners_.empty() && conns_.empty()) return Outcome::drained;

        auto now = Clock::now();
        fds.clear();
        polled.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({power_ ? power_->fd() : -1, power_ ? power_->pollEvents() : short(0), 0});
        const bool listening = !listeners_.empty() && now >= acceptPausedUntil_;
        for (const int listener : listeners_)
            fds.push_back({listening ? listener : -1, POLLIN, 0});
        auto wake = refusals_.nextDue();
        if (power_)
            if (const auto due = power_->nextDue()) wake = std::min(wake, *due);
        if (!listeners_.empty() && !listening) wake = std::min(wake, acceptPausedUntil_);
        for (Connection& c : conns_) {
            short events = 0;
            if (c.wantsRead(limits_)) events |= POLLIN;
            if (!c.out.empty()) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
            polled.push_back(&c);
            wake = std::min(wake, c.nextTime(limits_));
        }
        if (const auto due = dispatcher_.nextDue()) wake = std::min(wake, *due);
        int timeout = wake == Clock::time_point::max() ? -1 : msUntil(wake, now);
        if (wakeFd_ < 0 && (timeout < 0 || timeout > kPollSliceWithoutPipe))
            timeout = kPollSliceWithoutPipe;

        if (::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout) < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            failedErrno = errno;
            return Outcome::failed;
        }
        if (fds[0].revents != 0) stop_->drain();
        if (stopRequested()) return Outcome::stop;
        now = Clock::now();
        // Sleep and wake first, so that a check due now already knows of them.
        if (power_) servePower(fds[1].revents, now);
        dispatcher_.tick(now);

        for (std::size_t i = 0; i < polled.size(); ++i) {
            Connection& c = *polled[i];
            const pollfd& p = fds[first + i];
            if (!c.out.empty() && (p.revents & (POLLOUT | POLLERR | POLLHUP))) c.flush(now);
            if (!c.end && (p.events & POLLIN) && (p.revents & (POLLIN | POLLERR | POLLHUP)))
                c.readOnce(buffer_, now);
            if (!c.end && dispatcher_.answer(c, now)) {
                sendBye(c);
                dispatcher_.writePendingLog();
                return Outcome::quit;
            }
            if (!c.end && !c.out.empty()) c.flush(now);
            dispatcher_.writePendingLog();
            if (stopRequested()) return Outcome::stop;
            c.checkTimes(limits_, now);
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
            if (!(fds[2 + l].revents & (POLLIN | POLLERR | POLLHUP))) continue;
            acceptSome(listeners_[l], now);
            if (failedErrno != 0) return Outcome::failed;
        }
    }
}

LoopEnd loopEnd(Outcome outcome, int err) {
    switch (outcome) {
        case Outcome::quit:
            return {LoopEnd::quit};
        case Outcome::stop:
            return {LoopEnd::stop};
        case Outcome::drained:
        case Outcome::failed:
            break;
    }
    return {LoopEnd::failed, err};
}

}  // namespace

ClientEnd serveConnection(int fd, FanController& ctl, const ServeLimits& limits) {
    DaemonLog log;
    ForcedFans fans(log);
    Server server(ctl, limits, {}, log, fans, nullptr);
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
    DaemonLog log;
    ForcedFans fans(log);
    Server server(ctl, limits, listeners, log, fans, nullptr);
    const Outcome outcome = server.run();
    return loopEnd(outcome, server.failedErrno);
}

LoopEnd serveListeners(const std::vector<int>& listeners, FanController& ctl,
                       const ServeLimits& limits, DaemonLog& log, ForcedFans& fans,
                       const StopSignals& stop, const PowerWatch& power,
                       const std::string& stateDir) {
    Server server(ctl, limits, listeners, log, fans, &stop, power, stateDir);
    const Outcome outcome = server.run();
    return loopEnd(outcome, server.failedErrno);
}

}  // namespace orvtool
