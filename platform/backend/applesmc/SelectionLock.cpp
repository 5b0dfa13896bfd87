#include "SelectionLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "DriverFiles.h"

namespace applesmc {

namespace {

// How long the lock is waited for: 2 s in steps of 0.2 ms.
constexpr int kLockWaitPolls = 10000;
constexpr useconds_t kLockPollMicroseconds = 200;

}  // namespace

SelectionLock::~SelectionLock() {
    if (fd_ >= 0) ::close(fd_);
}

bool SelectionLock::lock() {
    if (fd_ < 0) {
        if (privileged_) makeParentDirectory(path_);
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) return false;
    }
    // Only root holds it, for one access; one stuck in the driver is not waited for long.
    for (int waited = 0; waited < kLockWaitPolls; ++waited) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        ::usleep(kLockPollMicroseconds);
    }
    return false;
}

void SelectionLock::unlock() {
    ::flock(fd_, LOCK_UN);
}

}  // namespace applesmc
