#include "StopSignals.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "SocketIO.h"

namespace orvtool {

namespace {

// What the handler reads and writes, and nothing else: the request, and the pipe's write
// end (-1 while no daemon listens for it).
volatile sig_atomic_t gStopRequested = 0;
volatile sig_atomic_t gWakeWriteFd = -1;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void onStopSignal(int) {
    const int saved = errno;
    gStopRequested = 1;
    const int fd = gWakeWriteFd;
    if (fd >= 0) {
        const char byte = 1;
        (void)!::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

StopSignals::StopSignals() {
    int fds[2];
    if (::pipe(fds) == 0) {
        if (setPollFlags(fds[0]) && setPollFlags(fds[1])) {
            read_ = fds[0];
            write_ = fds[1];
        } else {
            ::close(fds[0]);
            ::close(fds[1]);
        }
    }
    gWakeWriteFd = write_;
    gStopRequested = 0;
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

StopSignals::~StopSignals() {
    gWakeWriteFd = -1;  // before the descriptor can be reused for anything else
    if (read_ >= 0) ::close(read_);
    if (write_ >= 0) ::close(write_);
}

void StopSignals::drain() const {
    char buf[64];
    while (read_ >= 0 && ::read(read_, buf, sizeof buf) > 0) {
    }
}

bool stopRequested() {
    return gStopRequested != 0;
}

void ignoreBrokenPipe() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGPIPE, &sa, nullptr);
}

}  // namespace orvtool
