#include "Serve.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "FanController.h"
#include "ForcedMark.h"
#include "Log.h"
#include "ServeStop.h"
#include "SocketPath.h"
#include "Texts.h"

namespace orvtool {

namespace {

constexpr int kBacklog = 8;

// The socket this process bound, removed at its stop.
BoundSocket gBound;

void log(const std::string& line) {
    daemonLog().write(line);
}

[[noreturn]] void stopDaemon(FanController& ctl) {
    restoreEveryFan(ctl);
    removeOwnSocket(ORVANE_SOCKET_PATH, gBound);
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

// A failure once the socket is bound: the fans go back to automatic control and the
// socket goes away before the process ends with status 1.
int failBound(FanController& ctl, const std::string& message) {
    log(message);
    restoreEveryFan(ctl);
    removeOwnSocket(ORVANE_SOCKET_PATH, gBound);
    return 1;
}

}  // namespace

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
    setPollFlags(listener);
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
    const bool leftForced = forcedMarkPresent(ORVANE_FORCED_MARK_PATH);
    keepForcedMark(ORVANE_FORCED_MARK_PATH, leftForced);
    if (leftForced)
        log(restoreEveryFan(ctl) ? texts::kServeLogLeftForced : texts::kServeLogLeftForcedFailed);
    if (gBound.cleared.found != Found::nothing) {
        std::string line = texts::kServeFoundAt + std::string(ORVANE_SOCKET_PATH) +
                           texts::kServeFoundWas + foundText(gBound.cleared.found);
        line += gBound.cleared.movedTo.empty()
                    ? std::string(texts::kServeFoundReplaced)
                    : texts::kServeFoundMoved + logText(gBound.cleared.movedTo);
        log(line);
    }

    const LoopEnd end = serveListener(listener, ctl);
    switch (end.kind) {
        case LoopEnd::quit:
            // `quit` restored the fans before its reply; what is left is the socket file.
            removeOwnSocket(ORVANE_SOCKET_PATH, gBound);
            std::exit(0);
        case LoopEnd::stop:
            stopDaemon(ctl);
        case LoopEnd::failed:
            break;
    }
    return failBound(ctl, texts::kServeAcceptFailed + std::to_string(end.err));
}

}  // namespace orvtool
