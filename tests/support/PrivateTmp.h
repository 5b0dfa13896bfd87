// A private /tmp for one test, so that programs with fixed paths under /tmp (the control
// daemon's socket) can run without touching the machine's; /var/log (where the daemon keeps
// its log), /run (where root keeps the boot's record of fan minimums) and /var/lib/orvane
// (the daemon's stored curves and floors) are fresh ones too.
//
// A holder process enters a new mount namespace, makes every mount private to it and
// mounts a fresh tmpfs on /tmp, then waits. Programs started through start() or run()
// join that namespace; the test itself reaches the private /tmp as
// /proc/<holder>/root/tmp/... (path()). Needs root. The destructor ends every process
// still running in the namespace and reaps it: the test process is made a child
// subreaper meanwhile, so daemons that detach themselves stay its children.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// The step that gives a process a mount namespace of its own with a fresh tmpfs on /tmp,
// /var/log, /run and /var/lib/orvane (made on the machine first when missing, root's, 0755),
// the project's source and build trees bound back in when they live under
// /tmp (a clone there would vanish otherwise). Made in advance: enter() makes system calls only, so
// a child forked from a threaded process may call it. Needs root.
class TmpCover {
  public:
    TmpCover();
    bool enter() const;

  private:
    static constexpr int kFirstKeptFd = 900;
    std::vector<std::string> keep_;      // directories under /tmp to keep visible
    std::vector<std::string> makeDirs_;  // directories to create on the new tmpfs, parents first
    std::vector<std::string> fdPaths_;   // /proc/self/fd paths of the kept directories
};

class PrivateTmp {
  public:
    PrivateTmp();
    ~PrivateTmp();
    PrivateTmp(const PrivateTmp&) = delete;
    PrivateTmp& operator=(const PrivateTmp&) = delete;

    // Whether the namespace is up; error() says why not.
    bool ok() const { return holder_ > 0; }
    const std::string& error() const { return error_; }

    // The namespace, for a forked process to join with setns (CLONE_NEWNS).
    int namespaceFd() const { return namespaceFd_; }

    // A path inside the namespace ("/tmp/x") as the test process reaches it.
    std::string path(const std::string& inside) const;
    // The whole content of a file inside; empty when it cannot be read.
    std::string read(const std::string& inside) const;

    // Starts argv inside the namespace with standard input from /dev/null and both output
    // streams appended to logInside (a path inside; none: /dev/null). uid other than 0
    // switches to that user and group first. The environment is the test process's.
    pid_t start(const std::vector<std::string>& argv, const std::string& logInside = "",
                uid_t uid = 0);
    // start() and wait; the exit status, or -1 when it did not exit normally.
    int run(const std::vector<std::string>& argv, const std::string& logInside = "", uid_t uid = 0);

    // Waits until a Unix-domain socket inside accepts connections; false when it does not
    // within the limit or when `pid` (if given) has exited first.
    bool waitForSocket(const std::string& inside, pid_t pid = -1,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

  private:
    std::vector<pid_t> processesInside() const;

    pid_t holder_ = -1;
    int release_ = -1;  // write end of the pipe the holder waits on
    int namespaceFd_ = -1;
    std::string namespaceId_;
    std::string error_;
};
