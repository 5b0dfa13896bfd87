#include "Serve.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ControlProtocol.h"
#include "FanController.h"
#include "ForcedMark.h"
#include "Log.h"
#include "ServeLock.h"
#include "StopSignals.h"
#include "SocketPath.h"
#include "Texts.h"

namespace orvtool {

namespace {

constexpr int kBacklog = 8;

// A socket this process bound, removed at its stop while it is still this one.
struct Address {
    std::string path;
    BoundSocket bound;
};
std::vector<Address> gAddresses;
// What the binds found at the paths or why one failed, logged after the banner.
std::vector<std::string> gFoundLines;

void log(const std::string& line) {
    daemonLog().write(line);
}

// The lock, held from before the first socket until the fans are handed back.
int gLockFd = -1;

// The last steps of every stop, once the fans are handed back: the lock is let go first,
// so that a daemon started as this one goes away (its socket already gone, as it looks to
// a client) is not turned away; it replaces the socket files, which the removal then
// leaves alone as no longer this process's own.
void removeOwnSockets() {
    if (gLockFd >= 0) ::close(gLockFd);
    gLockFd = -1;
    for (const Address& a : gAddresses)
        removeOwnSocket(a.path, a.bound);
}

[[noreturn]] void stopDaemon(FanController& ctl) {
    restoreEveryFan(ctl);
    removeOwnSockets();
    std::exit(0);
}

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

// A failure once a socket is bound: the fans go back to automatic control and the sockets
// go away before the process ends with status 1.
int failBound(FanController& ctl, const std::string& message) {
    log(message);
    restoreEveryFan(ctl);
    removeOwnSockets();
    return 1;
}

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

// The step at which a socket could not be had, and its errno.
struct ListenFailure {
    enum Step { socket, bind, listen } step = socket;
    int err = 0;
};

// The line that says why the daemon cannot listen at `path`.
std::string failureText(const std::string& path, const ListenFailure& failure) {
    switch (failure.step) {
        case ListenFailure::socket: {
            const std::string text = texts::kServeSocketFailed;
            return text.substr(0, text.size() - 1);  // the log adds the line feed
        }
        case ListenFailure::bind:
            return texts::kServeBindFailed + path + texts::kServeBindFailedTail +
                   std::to_string(failure.err);
        case ListenFailure::listen:
            break;
    }
    return texts::kServeListenFailed + std::to_string(failure.err);
}

// A listening socket at `path` (non-blocking, so that a connection withdrawn between the
// poll and the accept cannot leave the daemon blocked in accept, deaf to stop signals);
// -1 with `failure` set when it cannot be had.
int listenAt(const std::string& path, ListenFailure& failure) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        failure = {ListenFailure::socket, errno};
        return -1;
    }
    setPollFlags(fd);
    Address address{path, bindReplacing(fd, path)};
    if (address.bound.err != 0) {
        failure = {ListenFailure::bind, address.bound.err};
        ::close(fd);
        return -1;
    }
    if (::listen(fd, kBacklog) != 0) {
        failure = {ListenFailure::listen, errno};
        removeOwnSocket(path, address.bound);
        ::close(fd);
        return -1;
    }
    if (address.bound.cleared.found != Found::nothing) {
        std::string line = texts::kServeFoundAt + path + texts::kServeFoundWas +
                           foundText(address.bound.cleared.found);
        line += address.bound.cleared.movedTo.empty()
                    ? std::string(texts::kServeFoundReplaced)
                    : texts::kServeFoundMoved + logText(address.bound.cleared.movedTo);
        gFoundLines.push_back(line);
    }
    gAddresses.push_back(std::move(address));
    return fd;
}

// The one daemon at a time: false (after saying why) when another holds the lock or it
// cannot be taken.
bool takeLock() {
    const DaemonLock lock = takeDaemonLock(ORVANE_DAEMON_LOCK_PATH);
    gLockFd = lock.fd;
    if (lock.fd >= 0) return true;
    if (lock.err == EWOULDBLOCK) {
        log(lock.holder > 0
                ? texts::kServeAlreadyRunning + std::to_string(lock.holder) +
                      texts::kServeAlreadyRunningTail
                : texts::kServeAlreadyRunningUnknown + std::string(ORVANE_DAEMON_LOCK_PATH));
    } else {
        log(texts::kServeLockFailed + std::to_string(lock.err) + texts::kServeLockFailedTail +
            ORVANE_DAEMON_LOCK_PATH);
    }
    return false;
}

}  // namespace

long daemonOwner() {
    if (::geteuid() != 0) return static_cast<long>(::getuid());
    for (const char* name : {"SUDO_UID", "PKEXEC_UID", "ORVANE_OWNER_UID"})
        if (const auto uid = uidFrom(name)) return *uid;
    return -1;
}

void serveClient(int fd, FanController& ctl) {
    switch (serveConnection(fd, ctl)) {
        case ClientEnd::quit:
            // `quit` restored the fans before its reply; what is left are the socket files.
            removeOwnSockets();
            std::exit(0);
        case ClientEnd::stop:
            stopDaemon(ctl);
        default:
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
    const std::string logRefused = daemonLog().start(ORVANE_LOG_DIR);

    // Root's daemon listens in its own directory, where no other user can plant anything or
    // race its bind, and only while it holds the lock; /tmp is a second address for
    // scripts. A daemon without root (it can write no fan) has only /tmp.
    const bool root = ::geteuid() == 0;
    if (root && !takeLock()) return 1;
    const std::string primary = root ? protocol::kSocketPath : protocol::kFallbackSocketPath;
    std::vector<int> listeners;
    ListenFailure failure;
    const int listener = listenAt(primary, failure);
    if (listener < 0) {
        log(failureText(primary, failure));
        return 1;
    }
    listeners.push_back(listener);
    if (root) {
        const int second = listenAt(protocol::kFallbackSocketPath, failure);
        if (second >= 0) {
            listeners.push_back(second);
        } else {
            gFoundLines.push_back(texts::kServeLogFallbackFailed +
                                  std::string(protocol::kFallbackSocketPath) +
                                  texts::kServeLogFallbackFailedErrno +
                                  std::to_string(failure.err) + texts::kServeLogFallbackFailedTail);
        }
    }
    log(texts::kServeBanner + primary + texts::kServeBannerCount +
        std::to_string(ctl.numberOfFans()) + texts::kServeBannerTail);
    if (!logRefused.empty()) log(logRefused);
    for (const std::string& line : gFoundLines)
        log(line);

    ServeLimits limits;
    limits.ownerUid = daemonOwner();
    if (root && limits.ownerUid >= 0)
        log(texts::kServeLogOwner + std::to_string(limits.ownerUid) + texts::kServeLogOwnerTail);

    keepForcedMark(ORVANE_FORCED_MARK_PATH);
    if (forcedMarkPresent(ORVANE_FORCED_MARK_PATH))
        log(restoreEveryFan(ctl) ? texts::kServeLogLeftForced : texts::kServeLogLeftForcedFailed);

    const LoopEnd end = serveListeners(listeners, ctl, limits);
    switch (end.kind) {
        case LoopEnd::quit:
            // `quit` restored the fans before its reply; what is left are the socket files.
            removeOwnSockets();
            std::exit(0);
        case LoopEnd::stop:
            stopDaemon(ctl);
        case LoopEnd::failed:
            break;
    }
    return failBound(ctl, texts::kServeAcceptFailed + std::to_string(end.err));
}

}  // namespace orvtool
