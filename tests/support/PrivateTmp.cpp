#include "PrivateTmp.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "Deadline.h"
#include "Paths.h"
#include "SocketClient.h"

namespace {

std::string linkTarget(const std::string& path) {
    char buffer[256];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof(buffer));
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

// A tree checked out and built under /tmp stays visible inside: each such directory is bound
// back at its own path over the new tmpfs.
TmpCover::TmpCover() {
    for (std::string dir : {std::string(ORVANE_SOURCE_DIR), std::string(ORVANE_BINARY_DIR)}) {
        const bool covered = !keep_.empty() && dir.rfind(keep_.front() + "/", 0) == 0;
        if (dir.rfind("/tmp/", 0) == 0 && !covered) keep_.push_back(dir);
    }
    for (const std::string& dir : keep_) {
        for (auto slash = dir.find('/', 5);; slash = dir.find('/', slash + 1)) {
            makeDirs_.push_back(dir.substr(0, slash));
            if (slash == std::string::npos) break;
        }
        fdPaths_.push_back("/proc/self/fd/" + std::to_string(kFirstKeptFd + fdPaths_.size()));
    }
}

bool TmpCover::enter() const {
    // The daemon's standing settings are covered too, so a test never reads or writes the
    // machine's own and starts with none; the mount point is made on the machine first.
    if (::mkdir(paths::kStateDir, 0755) == 0 && ::chmod(paths::kStateDir, 0755) != 0) return false;
    // /tmp is only covered once this process is surely in a namespace of its own.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    // Each kept directory is opened before /tmp is covered, at a descriptor number fixed
    // in advance; binding from that descriptor reaches the directory itself, where a path
    // walk would now land in the new tmpfs.
    for (std::size_t i = 0; i < keep_.size(); ++i) {
        const int fd = ::open(keep_[i].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int kept = kFirstKeptFd + int(i);
        if (fd < 0 || ::dup2(fd, kept) < 0) return false;
        if (fd != kept) ::close(fd);
    }
    if (::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) return false;
    // A root daemon started inside logs to a fresh /var/log, never to the machine's.
    if (::mount("tmpfs", "/var/log", "tmpfs", 0, "mode=0755") != 0) return false;
    // ... and keeps its record of original fan minimums in a fresh /run, as after a boot.
    if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) return false;
    if (::mount("tmpfs", paths::kStateDir, "tmpfs", 0, "mode=0755") != 0) return false;
    bool ok = true;
    for (const std::string& dir : makeDirs_)
        ::mkdir(dir.c_str(), 0755);
    for (std::size_t i = 0; i < keep_.size(); ++i) {
        ok = ok && ::mount(fdPaths_[i].c_str(), keep_[i].c_str(), nullptr, MS_BIND | MS_REC,
                           nullptr) == 0;
        ::close(kFirstKeptFd + int(i));
    }
    return ok;
}

PrivateTmp::PrivateTmp() {
    if (::geteuid() != 0) {
        error_ = "a private mount namespace needs root";
        return;
    }
    int ready[2];
    int release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        error_ = "pipe";
        return;
    }
    if (::pipe2(release, O_CLOEXEC) != 0) {
        ::close(ready[0]);
        ::close(ready[1]);
        error_ = "pipe";
        return;
    }
    const TmpCover cover;  // made before the fork: the child may only make system calls
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only system calls from here on: the test process may have other threads.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(ready[0]);
        ::close(release[1]);
        char status = cover.enter() ? 0 : 1;
        (void)!::write(ready[1], &status, 1);
        if (status != 0) ::_exit(1);
        char byte;
        while (::read(release[0], &byte, 1) < 0 && errno == EINTR) {
        }
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    if (pid < 0) {
        ::close(ready[0]);
        ::close(release[1]);
        error_ = "fork";
        return;
    }
    char status = 1;
    ssize_t n;
    do {
        n = ::read(ready[0], &status, 1);
    } while (n < 0 && errno == EINTR);
    ::close(ready[0]);
    if (n != 1 || status != 0) {
        ::close(release[1]);
        ::waitpid(pid, nullptr, 0);
        error_ = "cannot make a private mount namespace with its own /tmp";
        return;
    }
    holder_ = pid;
    release_ = release[1];
    const std::string nsPath = "/proc/" + std::to_string(pid) + "/ns/mnt";
    namespaceFd_ = ::open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
    namespaceId_ = linkTarget(nsPath);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

PrivateTmp::~PrivateTmp() {
    if (holder_ <= 0) return;
    // Everything in the namespace was started by this test (directly or by what it
    // started); end it and reap it.
    const std::vector<pid_t> inside = processesInside();
    for (pid_t pid : inside)
        ::kill(pid, SIGKILL);
    for (pid_t pid : inside)
        ::waitpid(pid, nullptr, 0);
    ::close(release_);
    ::waitpid(holder_, nullptr, 0);
    if (namespaceFd_ >= 0) ::close(namespaceFd_);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

std::vector<pid_t> PrivateTmp::processesInside() const {
    std::vector<pid_t> pids;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return pids;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == holder_) continue;
        if (linkTarget("/proc/" + std::string(entry->d_name) + "/ns/mnt") == namespaceId_)
            pids.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return pids;
}

std::string PrivateTmp::path(const std::string& inside) const {
    return "/proc/" + std::to_string(holder_) + "/root" + inside;
}

std::string PrivateTmp::read(const std::string& inside) const {
    std::ifstream in(path(inside));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

pid_t PrivateTmp::start(const std::vector<std::string>& argv, const std::string& logInside,
                        uid_t uid) {
    if (holder_ <= 0 || argv.empty()) return -1;
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const char* log = logInside.empty() ? "/dev/null" : logInside.c_str();
    const int nsFd = namespaceFd_;

    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // Child: system calls only until exec.
    if (::setns(nsFd, CLONE_NEWNS) != 0 || ::chdir("/") != 0) ::_exit(126);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0 || ::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0 ||
        ::dup2(out, STDERR_FILENO) < 0)
        ::_exit(126);
    if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))
        ::_exit(126);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // after the user switch, which clears it
    ::execv(args[0], args.data());
    ::_exit(127);
}

int PrivateTmp::run(const std::vector<std::string>& argv, const std::string& logInside, uid_t uid) {
    const pid_t pid = start(argv, logInside, uid);
    if (pid < 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool PrivateTmp::waitForSocket(const std::string& inside, pid_t pid,
                               std::chrono::milliseconds limit) const {
    const std::string reachable = path(inside);
    bool exited = false;
    const bool up = waitUntil(
        [&] {
            if (SocketClient::canConnect(reachable)) return true;
            exited = pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == pid;
            return exited;
        },
        limit, std::chrono::milliseconds(10));
    return up && !exited;
}
