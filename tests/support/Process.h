// A child process for one test: a program (path and arguments) or a function, with its own
// environment changes, user and mount namespace as asked; bounded waits; standard output and
// standard error captured when asked. The destructor never leaves the child running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Deadline.h"

// Exit status of a child that could not set itself up or exec the program.
inline constexpr int kSetupFailed = 125;

struct ProcessOptions {
    // Set in the child only (a value of nullopt removes the variable).
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    uid_t uid = 0;  // other than 0: switch to this user, and its number as group, first
    // Join this mount namespace (PrivateTmp::namespaceFd()) and start in "/".
    int namespaceFd = -1;
    // A mount namespace of its own with an empty /run, as after a boot (root only).
    bool privateRun = false;
    // Standard output and standard error into pipes this object reads (out(), errLine()).
    // Otherwise both go to `logFile` when set, else /dev/null.
    bool capture = true;
    std::string logFile;
    bool closeStderr = false;  // start with descriptor 2 closed
    std::string input;         // written to standard input, then closed (else /dev/null)
};

class Process {
  public:
    // Starts argv[0] (a path) with argv.
    static Process start(const std::vector<std::string>& argv, const ProcessOptions& options = {});
    // Runs `body` in a forked child; its return value is the exit status.
    static Process call(const std::function<int()>& body, const ProcessOptions& options = {});

    Process() = default;
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    bool running();

    // The exit status once the child has ended (-1 when a signal ended it), nothing when it
    // is still running after `limit`.
    std::optional<int> waitFor(std::chrono::milliseconds limit = kWaitLimit);
    // waitFor, then kill and reap when it did not end: the status, -1 when killed here.
    int finish(std::chrono::milliseconds limit = kWaitLimit);
    // The signal that ended the child, 0 when none did (or it has not ended).
    int termSignal() const { return signal_; }

    void signal(int sig) const;
    void terminate() const;  // SIGTERM
    void kill() const;       // SIGKILL

    // Captured output. out()/err() read until the child closes the stream (or the limit).
    std::string out(std::chrono::milliseconds limit = kWaitLimit);
    std::string err(std::chrono::milliseconds limit = kWaitLimit);
    // The next line of standard error without its line feed; empty at its end or the limit.
    std::string errLine(std::chrono::milliseconds limit = kWaitLimit);
    // The same for standard output.
    std::string outLine(std::chrono::milliseconds limit = kWaitLimit);

  private:
    static Process launch(const std::function<void()>& inChild, const ProcessOptions& options);
    void reap(int status);
    void release();  // kills and reaps a child still running, closes the pipes
    void closePipes();
    std::string nextLine(bool fromErr, std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    int signal_ = 0;
    int out_ = -1;
    int err_ = -1;
    std::string outBuffer_;
    std::string errBuffer_;
};

// What a program that ran to its end printed, and how it ended.
struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or -1 when the process did not exit normally
};

// Starts argv with captured output and waits for it (killing it after `limit`).
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {},
                         std::chrono::milliseconds limit = kWaitLimit);
