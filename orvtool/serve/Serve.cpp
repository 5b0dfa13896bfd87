#include "Serve.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ControlProtocol.h"
#include "FanController.h"
#include "ForcedMark.h"
#include "Listeners.h"
#include "Log.h"
#include "NonCopyable.h"
#include "Paths.h"
#include "PowerEvents.h"
#include "ServeFans.h"
#include "ServeLimits.h"
#include "ServeLock.h"
#include "ServeLoop.h"
#include "ServeTexts.h"
#include "StopSignals.h"

namespace orvtool {

namespace {

// The user id in an environment variable, when it holds one.
std::optional<long> uidFrom(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long uid = std::strtol(value, &end, 10);
    if (errno != 0 || *end != '\0' || uid < 0) return std::nullopt;
    return uid;
}

// One run of the daemon and everything it holds.
class Daemon : NonCopyable {
  public:
    explicit Daemon(FanController& ctl) : ctl_(ctl), fans_(log_) {}
    ~Daemon() { letGoOfLock(); }

    int run();

  private:
    void log(const std::string& line) { log_.write(line); }
    bool takeLock();
    void letGoOfLock();
    // The last steps of every stop, once the fans are handed back.
    void removeOwnSockets();
    // A failure once a socket is bound: the fans go back to automatic control and the
    // sockets go away before the daemon ends with status 1.
    int failBound(const std::string& message);

    FanController& ctl_;
    // Taken over before anything is created, so that a stop signal at any later moment
    // restores the fans and removes the socket; one that arrives during start-up takes
    // effect as soon as the daemon waits for its first connection.
    StopSignals stop_;
    DaemonLog log_;
    ForcedFans fans_;
    int lockFd_ = -1;  // held from before the first socket until the fans are handed back
    Listeners listeners_;
};

// The one daemon at a time: false (after saying why) when another holds the lock or it
// cannot be taken.
bool Daemon::takeLock() {
    const DaemonLock lock = takeDaemonLock(paths::kDaemonLockPath);
    lockFd_ = lock.fd;
    if (lock.fd >= 0) return true;
    if (lock.err == EWOULDBLOCK) {
        log(lock.holder > 0
                ? texts::kServeAlreadyRunning + std::to_string(lock.holder) +
                      texts::kServeAlreadyRunningTail
                : texts::kServeAlreadyRunningUnknown + std::string(paths::kDaemonLockPath));
    } else {
        log(texts::kServeLockFailed + std::to_string(lock.err) + texts::kServeLockFailedTail +
            paths::kDaemonLockPath);
    }
    return false;
}

void Daemon::letGoOfLock() {
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
}

// The lock is let go first, so that a daemon started as this one goes away (its socket
// already gone, as it looks to a client) is not turned away; it replaces the socket
// files, which the removal then leaves alone as no longer this daemon's own.
void Daemon::removeOwnSockets() {
    letGoOfLock();
    listeners_.removeOwnSockets();
}

int Daemon::failBound(const std::string& message) {
    log(message);
    fans_.restoreEveryFan(ctl_);
    removeOwnSockets();
    return 1;
}

int Daemon::run() {
    const std::string logRefused = log_.start(paths::kLogDir);

    // Root's daemon listens in its own directory, where no other user can plant anything or
    // race its bind, and only while it holds the lock; /tmp is a second address for
    // scripts. A daemon without root (it can write no fan) has only /tmp.
    const bool root = ::geteuid() == 0;
    if (root && !takeLock()) return 1;
    const std::string primary = root ? protocol::kSocketPath : protocol::kFallbackSocketPath;
    ListenFailure failure;
    if (!listeners_.listenAt(primary, failure)) {
        log(failureText(primary, failure));
        return 1;
    }
    const bool fallbackFailed =
        root && !listeners_.listenAt(protocol::kFallbackSocketPath, failure);
    std::vector<std::string> found = listeners_.foundLines();
    if (fallbackFailed) {
        found.push_back(texts::kServeLogFallbackFailed +
                        std::string(protocol::kFallbackSocketPath) +
                        texts::kServeLogFallbackFailedErrno + std::to_string(failure.err) +
                        texts::kServeLogFallbackFailedTail);
    }
    log(texts::kServeBanner + primary + texts::kServeBannerCount +
        std::to_string(ctl_.numberOfFans()) + texts::kServeBannerTail);
    if (!logRefused.empty()) log(logRefused);
    for (const std::string& line : found)
        log(line);

    ServeLimits limits;
    limits.ownerUid = daemonOwner();
    if (root && limits.ownerUid >= 0)
        log(texts::kServeLogOwner + std::to_string(limits.ownerUid) + texts::kServeLogOwnerTail);

    fans_.keepMark(paths::kForcedMarkPath);
    if (forcedMarkPresent(paths::kForcedMarkPath))
        log(fans_.restoreEveryFan(ctl_) ? texts::kServeLogLeftForced
                                        : texts::kServeLogLeftForcedFailed);

    // Without the platform's sleep events a wake is still found by the clocks.
    power::PowerEventsFailure powerFailure;
    const std::unique_ptr<power::PowerEvents> events = power::openPowerEvents(powerFailure);
    if (!events) {
        log(texts::kServeLogNoPowerEvents +
            std::string(powerFailure.step == power::PowerEventsFailure::bus
                            ? texts::kServeLogNoPowerEventsBus
                            : texts::kServeLogNoPowerEventsSubscribe) +
            texts::kServeLogNoPowerEventsErrno + std::to_string(powerFailure.err) +
            texts::kServeLogNoPowerEventsTail);
    }
    PowerWatch power;
    power.events = events.get();
    // Root's daemon keeps the fans' standing settings and runs them from its first second.
    const LoopEnd end = serveListeners(listeners_.fds(), ctl_, limits, log_, fans_, stop_, power,
                                       root ? paths::kStateDir : "");
    switch (end.kind) {
        case LoopEnd::quit:
            // `quit` restored the fans before its reply; what is left are the socket files.
            removeOwnSockets();
            return 0;
        case LoopEnd::stop:
            fans_.restoreEveryFan(ctl_);
            removeOwnSockets();
            return 0;
        case LoopEnd::failed:
            break;
    }
    return failBound(texts::kServeAcceptFailed + std::to_string(end.err));
}

}  // namespace

long daemonOwner() {
    if (::geteuid() != 0) return static_cast<long>(::getuid());
    for (const char* name : {paths::kSudoUidEnv, paths::kPkexecUidEnv, paths::kOwnerUidEnv})
        if (const auto uid = uidFrom(name)) return *uid;
    return -1;
}

int cmdServe(FanController& ctl) {
    // A peer that vanishes must never end the daemon: failed sends are reported as errors.
    ignoreBrokenPipe();
    Daemon daemon(ctl);
    return daemon.run();
}

}  // namespace orvtool
