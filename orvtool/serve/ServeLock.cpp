#include "ServeLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "MinimumRecord.h"

namespace orvtool {

namespace {

// The id the holder wrote into the file; 0 when there is none.
pid_t holderOf(int fd) {
    char buf[32] = {};
    const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return 0;
    char* end = nullptr;
    const long pid = std::strtol(buf, &end, 10);
    return pid > 0 && (*end == '\n' || *end == '\0') ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

DaemonLock takeDaemonLock(const std::string& path) {
    DaemonLock lock;
    std::string name;
    const int dir = openRecordDirectory(path, true, name);
    if (dir < 0) {
        lock.err = errno;
        return lock;
    }
    // Only root may open it: any process that can open a file can lock it.
    const int fd =
        ::openat(dir, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    lock.err = fd < 0 ? errno : 0;
    ::close(dir);
    if (fd < 0) return lock;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        lock.err = EPERM;
        ::close(fd);
        return lock;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        lock.err = errno;
        lock.holder = holderOf(fd);
        ::close(fd);
        return lock;
    }
    // For the message of a daemon started while this one runs; only the lock counts.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
    lock.fd = fd;
    lock.holder = ::getpid();
    return lock;
}

}  // namespace orvtool
