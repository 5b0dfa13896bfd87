#include "Signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>

namespace orvtool {

int ensureStandardStreams() {
    int closed = 0;
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        closed |= 1 << fd;
        // open returns the lowest free descriptor: this one.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) ::close(opened);
    }
    return closed;
}

DeferredStopSignals::DeferredStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    sigaddset(&stop, SIGQUIT);
    pthread_sigmask(SIG_BLOCK, &stop, &previous_);
}

DeferredStopSignals::~DeferredStopSignals() {
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace orvtool
