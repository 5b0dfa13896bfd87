#include "StopSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace orvtool {

namespace {

volatile sig_atomic_t gStopRequested = 0;
int gWakePipe[2] = {-1, -1};
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void onStopSignal(int) {
    const int saved = errno;
    gStopRequested = 1;
    if (gWakePipe[1] >= 0) {
        const char byte = 1;
        (void)!::write(gWakePipe[1], &byte, 1);
    }
    errno = saved;
}

}  // namespace

bool stopRequested() {
    return gStopRequested != 0;
}

int wakeFd() {
    return gWakePipe[0];
}

void drainWakePipe() {
    char buf[64];
    while (gWakePipe[0] >= 0 && ::read(gWakePipe[0], buf, sizeof buf) > 0) {
    }
}

bool setPollFlags(int fd) {
    const int fl = ::fcntl(fd, F_GETFL);
    const int fd_fl = ::fcntl(fd, F_GETFD);
    return fl >= 0 && fd_fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, fd_fl | FD_CLOEXEC) == 0;
}

void installStopHandling() {
    if (gWakePipe[0] < 0) {
        int fds[2];
        if (::pipe(fds) == 0) {
            if (setPollFlags(fds[0]) && setPollFlags(fds[1])) {
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

}  // namespace orvtool
