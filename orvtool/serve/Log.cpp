#include "Log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

#include "Paths.h"
#include "ServeTexts.h"
#include "SocketIO.h"
#include "WriteAll.h"

namespace orvtool {

int openLogDirectory(const char* path, bool& unsafe) {
    unsafe = false;
    const std::string full = path;
    const std::size_t slash = full.rfind('/');
    if (slash == std::string::npos || slash + 1 == full.size()) return -1;
    const std::string parent = slash == 0 ? "/" : full.substr(0, slash);
    const std::string name = full.substr(slash + 1);
    const int parentFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0) return -1;
    // Only root can write the parent, so what is found there is root's doing.
    ::mkdirat(parentFd, name.c_str(), 0755);
    const int fd =
        ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int err = errno;
    ::close(parentFd);
    if (fd < 0) {
        // A symbolic link (ELOOP) or something that is not a directory is refused; a
        // directory that is missing or closed to this user simply is not used.
        unsafe = err == ELOOP || err == ENOTDIR;
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) ||
        (st.st_uid != 0 && st.st_uid != ::geteuid()) || (st.st_mode & 022) != 0) {
        ::close(fd);
        unsafe = true;
        return -1;
    }
    return fd;
}

LogFile::~LogFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool LogFile::open(bool& unsafe) {
    unsafe = false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    // O_NONBLOCK: should a FIFO ever stand there, opening it must not wait for a reader.
    const int fd =
        ::openat(dirFd_, paths::kLogName,
                 O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        unsafe = errno == ELOOP || errno == ENXIO || errno == EISDIR;
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_nlink != 1) {
        ::close(fd);
        unsafe = true;
        return false;
    }
    fd_ = fd;
    size_ = static_cast<std::size_t>(st.st_size);
    return true;
}

void LogFile::rotate() {
    ::renameat(dirFd_, paths::kLogName, dirFd_, paths::kLogOldName);
    bool unsafe;
    // When no new file can be opened (no descriptor left), lines go nowhere until a later
    // line manages to open one.
    open(unsafe);
}

bool LogFile::write(std::string_view lines) {
    if (fd_ < 0) {
        bool unsafe;
        if (!open(unsafe)) return false;
    }
    if (size_ > 0 && size_ + lines.size() > bound_) rotate();
    if (fd_ < 0) return false;
    if (writeAll(fd_, lines)) {
        size_ += lines.size();
        return true;
    }
    // Taken in part or not at all (ENOSPC, EFBIG, EDQUOT, EIO): whatever part of the lines
    // went in is cut off again. This daemon is the file's one writer (under its lock), so
    // the file ended at size_ before the write.
    (void)!::ftruncate(fd_, static_cast<off_t>(size_));
    return false;
}

DaemonLog::~DaemonLog() {
    // Lines lost since the last report are counted in the file at the end.
    if (file_) {
        std::string note;
        if (fileDropped_ > 0)
            note += utcStamp() + texts::kServeLogFileDropped + std::to_string(fileDropped_) +
                    texts::kServeLogDroppedTail + "\n";
        if (dropped_ > droppedInFile_)
            note += utcStamp() + texts::kServeLogDropped +
                    std::to_string(dropped_ - droppedInFile_) + texts::kServeLogDroppedTail + "\n";
        if (!note.empty()) file_->write(note);
    }
    file_.reset();
    if (ownStderrFd_) ::close(stderrFd_);
    if (dirFd_ >= 0) ::close(dirFd_);
}

std::string DaemonLog::start(const char* dirPath, int dirFd) {
    started_ = true;
    std::string refused;
    bool unsafe = false;
    dirFd_ = dirFd >= 0 ? dirFd : openLogDirectory(dirPath, unsafe);
    if (dirFd_ < 0 && unsafe) refused = texts::kServeLogDirUnsafe + std::string(dirPath);
    if (dirFd_ >= 0) {
        file_ = std::make_unique<LogFile>(dirFd_, kLogFileBound);
        if (!file_->open(unsafe)) {
            file_.reset();
            if (unsafe)
                refused = texts::kServeLogFileUnsafe + std::string(dirPath) + "/" + paths::kLogName;
        }
    }

    struct stat err;
    if (::fstat(STDERR_FILENO, &err) != 0) {
        toStderr_ = false;
        return refused;
    }
    struct stat devNull;
    struct stat logFile;
    if (S_ISCHR(err.st_mode) && ::stat("/dev/null", &devNull) == 0 &&
        err.st_rdev == devNull.st_rdev) {
        toStderr_ = false;
    } else if (file_ && ::fstat(file_->fd(), &logFile) == 0 && err.st_dev == logFile.st_dev &&
               err.st_ino == logFile.st_ino) {
        toStderr_ = false;  // the service definition sends standard error to the log file
    } else {
        openStderr(err);
    }
    return refused;
}

// Standard error that can block (a terminal nobody reads, a full pipe or socket) must never
// make the daemon wait. Setting O_NONBLOCK on descriptor 2 would change the open file it
// shares with the shell and the other programs writing there, which do not expect EAGAIN.
// Instead: a socket takes MSG_DONTWAIT on each send; a terminal or pipe is opened anew
// through /proc/self/fd/2, which gives an open file of the daemon's own to set O_NONBLOCK
// on (checked to be the same object). Where that is not possible (no /proc), a write comes
// only after poll says there is room, and is at most PIPE_BUF bytes, which a pipe with room
// takes without waiting. A line taken in part is finished before any other line is tried,
// so that no half line is left between two others.
void DaemonLog::openStderr(const struct stat& err) {
    if (S_ISREG(err.st_mode)) {
        stderrWay_ = StderrWay::plain;
        return;
    }
    if (S_ISSOCK(err.st_mode)) {
        stderrWay_ = StderrWay::socket;
        return;
    }
    const int flags = ::fcntl(STDERR_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) {
        stderrWay_ = StderrWay::noWait;
        return;
    }
    const int fd = ::open("/proc/self/fd/2", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct stat reopened;
    if (fd >= 0 && ::fstat(fd, &reopened) == 0 && reopened.st_dev == err.st_dev &&
        reopened.st_ino == err.st_ino && reopened.st_rdev == err.st_rdev) {
        // An open that only duplicated descriptor 2 (as /dev/fd does on some systems) would
        // share its description and not have taken O_NONBLOCK: only a new one is used.
        const int own = ::fcntl(fd, F_GETFL);
        const int shared = ::fcntl(STDERR_FILENO, F_GETFL);
        if (own >= 0 && (own & O_NONBLOCK) != 0 && shared >= 0 && (shared & O_NONBLOCK) == 0) {
            stderrWay_ = StderrWay::noWait;
            stderrFd_ = fd;
            ownStderrFd_ = true;
            return;
        }
    }
    if (fd >= 0) ::close(fd);
    stderrWay_ = StderrWay::polled;
}

ssize_t DaemonLog::putStderr(std::string_view data) {
    for (;;) {
        ssize_t n;
        switch (stderrWay_) {
            case StderrWay::socket:
                n = sendNoWait(stderrFd_, data);
                break;
            case StderrWay::polled: {
                pollfd p{stderrFd_, POLLOUT, 0};
                const int ready = ::poll(&p, 1, 0);
                if (ready < 0 && errno == EINTR) continue;
                if (ready <= 0) return 0;
                if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return -1;
                n = ::write(stderrFd_, data.data(), std::min<std::size_t>(data.size(), PIPE_BUF));
                break;
            }
            case StderrWay::plain:
            case StderrWay::noWait:
            default:
                n = ::write(stderrFd_, data.data(), data.size());
                break;
        }
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

bool DaemonLog::flushStderrRest() {
    while (!stderrRest_.empty()) {
        const ssize_t n = putStderr(stderrRest_);
        if (n == 0) return false;
        if (n < 0) {
            stderrRest_.clear();  // standard error is gone: nothing is waiting any more
            return true;
        }
        stderrRest_.erase(0, static_cast<std::size_t>(n));
    }
    return true;
}

void DaemonLog::writeStderr(const std::string& line) {
    if (!started_ || stderrWay_ == StderrWay::plain) {
        // A message a line, in one write (continued only if the system takes part of it).
        writeAll(STDERR_FILENO, line + "\n");
        return;
    }
    if (!flushStderrRest()) {
        ++dropped_;
        return;
    }
    std::string text;
    const std::size_t count = dropped_ - droppedReported_;
    if (count > 0)
        text = texts::kServeLogDropped + std::to_string(count) + texts::kServeLogDroppedTail + "\n";
    text += line;
    text += '\n';
    const ssize_t n = putStderr(text);
    if (n <= 0) {
        ++dropped_;
        return;
    }
    // Standard error takes lines again: what it lost is said there and in the file.
    if (count > 0) {
        droppedReported_ += count;
        if (file_ && dropped_ > droppedInFile_) {
            writeFile(utcStamp() + texts::kServeLogDropped +
                      std::to_string(dropped_ - droppedInFile_) + texts::kServeLogDroppedTail +
                      "\n");
            droppedInFile_ = dropped_;
        }
    }
    stderrRest_ = text.substr(static_cast<std::size_t>(n));
}

void DaemonLog::writeFile(const std::string& text) {
    std::string lines;
    if (fileDropped_ > 0)
        lines = utcStamp() + texts::kServeLogFileDropped + std::to_string(fileDropped_) +
                texts::kServeLogDroppedTail + "\n";
    lines += text;
    if (file_->write(lines)) {
        fileDropped_ = 0;
    } else {
        ++fileDropped_;
    }
}
const std::string& DaemonLog::utcStamp() {
    const time_t now = ::time(nullptr);
    if (now == stampSecond_) return stamp_;
    tm utc{};
    char buf[32];
    stampSecond_ = now;
    stamp_.clear();
    if (::gmtime_r(&now, &utc) != nullptr &&
        ::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ ", &utc) != 0)
        stamp_ = buf;
    return stamp_;
}

void DaemonLog::write(const std::string& line) {
    if (file_) writeFile(utcStamp() + line + "\n");
    if (toStderr_ || !started_) writeStderr(line);
}

}  // namespace orvtool
