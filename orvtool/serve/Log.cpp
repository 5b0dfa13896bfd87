#include "Log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "Paths.h"
#include "ServeTexts.h"

namespace orvtool {

namespace {

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

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

void LogFile::write(std::string_view line) {
    if (fd_ < 0) {
        bool unsafe;
        if (!open(unsafe)) return;
    }
    if (size_ > 0 && size_ + line.size() > bound_) rotate();
    if (fd_ < 0) return;
    if (writeAll(fd_, line)) size_ += line.size();
}

DaemonLog::~DaemonLog() {
    file_.reset();
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
    } else if (S_ISFIFO(err.st_mode) || S_ISSOCK(err.st_mode)) {
        const int fl = ::fcntl(STDERR_FILENO, F_GETFL);
        stderrNonBlocking_ = fl >= 0 && ::fcntl(STDERR_FILENO, F_SETFL, fl | O_NONBLOCK) == 0;
    }
    return refused;
}

void DaemonLog::writeStderr(const std::string& line) {
    if (!stderrNonBlocking_) {
        // A message a line, in one write (continued only if the system takes part of it).
        writeAll(STDERR_FILENO, line + "\n");
        return;
    }
    if (dropped_ > droppedReported_) {
        const std::size_t count = dropped_ - droppedReported_;
        const std::string note =
            texts::kServeLogDropped + std::to_string(count) + texts::kServeLogDroppedTail + "\n";
        if (!writeAll(STDERR_FILENO, note)) {
            ++dropped_;
            return;
        }
        droppedReported_ += count;
    }
    // A line of a few kilobytes at most goes into a pipe whole or not at all.
    if (!writeAll(STDERR_FILENO, line + "\n")) ++dropped_;
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
    if (file_) file_->write(utcStamp() + line + "\n");
    if (toStderr_ || !started_) writeStderr(line);
}

}  // namespace orvtool
