#include "Log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "Output.h"
#include "Texts.h"

namespace orvtool {

namespace {

// Length of the UTF-8 sequence starting at text[i], or 0 when it is not a valid one
// (overlong forms, surrogates and values past U+10FFFF are invalid).
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    std::size_t n;
    char32_t c;
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        c = b & 0x07;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    if ((n == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
        (n == 4 && (c < 0x10000 || c > 0x10FFFF)))
        return 0;
    return n;
}

void appendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%0*X", prefix, digits, value);
    out += buf;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The UTC time in front of a file line, formatted once a second (the daemon has one thread).
const std::string& utcStamp() {
    static time_t formatted = -1;
    static std::string stamp;
    const time_t now = ::time(nullptr);
    if (now == formatted) return stamp;
    tm utc{};
    char buf[32];
    formatted = now;
    stamp.clear();
    if (::gmtime_r(&now, &utc) != nullptr &&
        ::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ ", &utc) != 0)
        stamp = buf;
    return stamp;
}

}  // namespace

std::string logText(std::string_view text, std::size_t maxBytes) {
    std::size_t cut = text.size();
    if (cut > maxBytes) {
        cut = maxBytes;
        // Back to the start of a character: never leave half of one in the line.
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
    }
    std::string out;
    out.reserve(cut + 16);
    for (std::size_t i = 0; i < cut;) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        const std::size_t n = utf8Length(text.substr(0, cut), i);
        if (n == 0) {  // not UTF-8: the byte itself
            appendHex(out, "\\x", b, 2);
            ++i;
            continue;
        }
        if (n == 2 && b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            appendHex(out, "\\u", static_cast<unsigned char>(text[i + 1]), 4);  // C1 control
        } else if (n > 1) {
            out.append(text.substr(i, n));
        } else if (b == '\\') {
            out += "\\\\";
        } else if (b == 0) {
            out += "\\0";
        } else if (b == '\t') {
            out += "\\t";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\r') {
            out += "\\r";
        } else if (b == 0x1B) {
            out += "\\e";
        } else if (b < 0x20 || b == 0x7F) {
            appendHex(out, "\\x", b, 2);
        } else {
            out += static_cast<char>(b);
        }
        i += n;
    }
    if (cut < text.size())
        out += texts::kServeLogCut + std::to_string(text.size() - cut) + texts::kServeLogCutTail;
    return out;
}

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
        ::openat(dirFd_, ORVANE_LOG_NAME,
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
    ::renameat(dirFd_, ORVANE_LOG_NAME, dirFd_, ORVANE_LOG_OLD_NAME);
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
                refused = texts::kServeLogFileUnsafe + std::string(dirPath) + "/" + ORVANE_LOG_NAME;
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
        eprint(line);
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

void DaemonLog::write(const std::string& line) {
    if (file_) file_->write(utcStamp() + line + "\n");
    if (toStderr_ || !started_) writeStderr(line);
}

DaemonLog& daemonLog() {
    static DaemonLog log;
    return log;
}

}  // namespace orvtool
