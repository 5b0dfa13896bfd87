// The daemon's log: one line per event, written to a rotated file in a root-owned directory
// and to standard error, never blocking the daemon and never passing control bytes through.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "LogText.h"
#include "NonCopyable.h"

namespace orvtool {

// The log file rotates before it would pass this size; with the one old file kept, the log
// takes at most about twice this on disk.
inline constexpr std::size_t kLogFileBound = 1 << 20;

// Opens (creating it 0755 when missing) the log directory given as an absolute path whose
// parent only root can write. The directory must not be a symbolic link and must belong
// to root (or to this process's user) with no write permission for group or others.
// Returns a descriptor, or -1 with `unsafe` telling whether a directory was found and
// refused (false: it is missing or unreachable, as for a daemon that is not root).
int openLogDirectory(const char* path, bool& unsafe);

// The log file paths::kLogName in a directory given by descriptor (borrowed). Opened
// without following links and without blocking; used only when it is a regular file of
// this process's user with one link. Before a line would take it past `bound`, it is
// renamed to paths::kLogOldName (replacing the older one) and a new file is started.
class LogFile : NonCopyable {
  public:
    LogFile(int dirFd, std::size_t bound) : dirFd_(dirFd), bound_(bound) {}
    ~LogFile();

    // Opens or creates the file; false when it is missing and cannot be created, or when it
    // is not safe to write (`unsafe` then true).
    bool open(bool& unsafe);
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Appends whole lines (line feeds included), rotating first when needed. A write the
    // file takes only in part (a full disk, a size or quota limit) is cut back off, so that
    // the file never ends in half a line; false then, and when no file could be opened.
    bool write(std::string_view lines);

  private:
    void rotate();

    int dirFd_;
    std::size_t bound_;
    int fd_ = -1;
    std::size_t size_ = 0;
};

// The daemon's log, one for each daemon it serves. Until start() it writes each line to
// standard error (servers inside tests); the daemon starts it once, before anything else
// is logged.
class DaemonLog : NonCopyable {
  public:
    DaemonLog() = default;
    ~DaemonLog();

    // Opens the log file in the directory at dirPath, or in dirFd (taken over) when given,
    // and decides about standard error: no lines there when it is the log file itself or
    // /dev/null; plain writes when it is a regular file; otherwise (a terminal, a pipe, a
    // socket) writes that never wait: a line that cannot be taken now is dropped and
    // counted. Returns a log line saying why the directory or the file was refused, or
    // nothing.
    std::string start(const char* dirPath, int dirFd = -1);

    // Writes one line (without its line feed): to the file with a UTC time in front, to
    // standard error as it is. Lines either of them could not take are counted, and the
    // count is written to both once they take lines again (and to the file at the end).
    void write(const std::string& line);

    // Lines standard error did not take so far.
    std::size_t dropped() const { return dropped_; }
    // Lines the log file did not take and that no line in it reports yet.
    std::size_t fileDropped() const { return fileDropped_; }

  private:
    // How lines reach standard error once the log has started.
    enum class StderrWay {
        plain,   // a regular file: written as they are
        noWait,  // a descriptor of our own with O_NONBLOCK, or one that had it already
        socket,  // send with MSG_DONTWAIT
        polled,  // poll without waiting, then at most PIPE_BUF bytes a write
    };
    void openStderr(const struct ::stat& err);
    void writeStderr(const std::string& line);
    // One attempt to pass bytes to standard error without waiting: the count taken (0 when
    // none could be), or -1 when it failed for good.
    ssize_t putStderr(std::string_view data);
    // Passes on the rest of a line standard error took only in part; true once none is left.
    bool flushStderrRest();
    void writeFile(const std::string& text);
    // The UTC time in front of a file line, formatted once a second.
    const std::string& utcStamp();

    int dirFd_ = -1;
    std::unique_ptr<LogFile> file_;
    bool started_ = false;
    bool toStderr_ = true;
    StderrWay stderrWay_ = StderrWay::plain;
    int stderrFd_ = 2;
    bool ownStderrFd_ = false;
    std::string stderrRest_;  // the end of a line standard error took in part
    std::size_t dropped_ = 0;
    std::size_t droppedReported_ = 0;
    std::size_t droppedInFile_ = 0;  // of dropped_, the lines the file was told about
    std::size_t fileDropped_ = 0;
    time_t stampSecond_ = -1;
    std::string stamp_;
};

}  // namespace orvtool
