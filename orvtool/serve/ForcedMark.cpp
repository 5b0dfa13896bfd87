#include "ForcedMark.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "MinimumRecord.h"

namespace orvtool {

bool forcedMarkPresent(const std::string& path) {
    std::string name;
    const int dir = openRecordDirectory(path, false, name);
    if (dir < 0) return false;
    struct stat st {};
    const bool present = ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    ::close(dir);
    return present;
}

int setForcedMark(const std::string& path, bool present) {
    std::string name;
    const int dir = openRecordDirectory(path, present, name);
    if (dir < 0) return !present && errno == ENOENT ? 0 : errno;
    int err = 0;
    if (present) {
        const int fd =
            ::openat(dir, name.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0) {
            err = errno;
        } else {
            // The id is for people reading the directory; only the mark's presence counts.
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::write(fd, pid.data(), pid.size()) < 0) err = errno;
            ::close(fd);
        }
    } else if (::unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) {
        err = errno;
    }
    ::close(dir);
    return err;
}

}  // namespace orvtool
