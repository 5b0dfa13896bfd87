#include "Process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

// The child's side of the options, in system calls only (the test may have threads).
// False when a step failed.
bool setUpChild(const ProcessOptions& options, int in, int out, int err) {
    if (::dup2(in, STDIN_FILENO) < 0) return false;
    if (options.namespaceFd >= 0 &&
        (::setns(options.namespaceFd, CLONE_NEWNS) != 0 || ::chdir("/") != 0))
        return false;
    if (options.privateRun && (::unshare(CLONE_NEWNS) != 0 ||
                               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                               ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0))
        return false;
    if (out < 0) {
        // Opened only now, so that a log path names a file inside the namespace.
        const char* log = options.logFile.empty() ? "/dev/null" : options.logFile.c_str();
        out = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        err = out;
        if (out < 0) return false;
    }
    if (::dup2(out, STDOUT_FILENO) < 0) return false;
    if (options.closeStderr ? ::close(STDERR_FILENO) != 0 : ::dup2(err, STDERR_FILENO) < 0)
        return false;
    if (options.uid != 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(options.uid) != 0 || ::setuid(options.uid) != 0))
        return false;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // after the user switch, which clears it
    return true;
}

}  // namespace

Process Process::start(const std::vector<std::string>& argv, const ProcessOptions& options) {
    if (argv.empty()) return {};
    // Everything the child needs is made before the fork.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool changed = false;
        for (const auto& [key, value] : options.env)
            changed = changed || key == name;
        if (!changed) env.push_back(entry);
    }
    for (const auto& [key, value] : options.env) {
        if (value) env.push_back(key + "=" + *value);
    }
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    // Opened before the child covers a directory the program may live in (a build under /tmp).
    const int binary = ::open(argv[0].c_str(), O_RDONLY | O_CLOEXEC);
    Process p = launch(
        [&] {
            if (binary >= 0) ::fexecve(binary, args.data(), envp.data());
            ::execve(args[0], args.data(), envp.data());
        },
        options);
    if (binary >= 0) ::close(binary);
    return p;
}

Process Process::call(const std::function<int()>& body, const ProcessOptions& options) {
    return launch(
        [&] {
            for (const auto& [key, value] : options.env) {
                if (value)
                    ::setenv(key.c_str(), value->c_str(), 1);
                else
                    ::unsetenv(key.c_str());
            }
            ::_exit(body());
        },
        options);
}

Process Process::launch(const std::function<void()>& inChild, const ProcessOptions& options) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    const bool withInput = !options.input.empty();
    if ((withInput && ::pipe2(in, O_CLOEXEC) != 0) ||
        (options.capture && (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)))
        return {};
    const int devNull = withInput ? -1 : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    Process p;
    p.pid_ = ::fork();
    if (p.pid_ == 0) {
        if (!setUpChild(options, withInput ? in[0] : devNull, out[1], err[1]))
            ::_exit(kSetupFailed);
        inChild();
        ::_exit(kSetupFailed);
    }
    for (int fd : {in[0], out[1], err[1], devNull}) {
        if (fd >= 0) ::close(fd);
    }
    p.out_ = out[0];
    p.err_ = err[0];
    if (withInput) {
        const std::string& data = options.input;
        for (std::size_t done = 0; done < data.size();) {
            const ssize_t n = ::write(in[1], data.data() + done, data.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(in[1]);
    }
    if (p.pid_ < 0) p.closePipes();
    return p;
}

Process::~Process() {
    release();
}

void Process::release() {
    if (started() && !reaped_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
    }
    closePipes();
}

Process::Process(Process&& other) noexcept {
    *this = std::move(other);
}

Process& Process::operator=(Process&& other) noexcept {
    if (this == &other) return *this;
    release();
    pid_ = std::exchange(other.pid_, -1);
    reaped_ = other.reaped_;
    status_ = other.status_;
    signal_ = other.signal_;
    out_ = std::exchange(other.out_, -1);
    err_ = std::exchange(other.err_, -1);
    outBuffer_ = std::move(other.outBuffer_);
    errBuffer_ = std::move(other.errBuffer_);
    return *this;
}

void Process::closePipes() {
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
    out_ = err_ = -1;
}

void Process::reap(int status) {
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

bool Process::running() {
    if (!started() || reaped_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    reap(status);
    return false;
}

std::optional<int> Process::waitFor(std::chrono::milliseconds limit) {
    if (!started()) return std::nullopt;
    if (!waitUntil([&] { return !running(); }, limit, std::chrono::milliseconds(2)))
        return std::nullopt;
    return status_;
}

int Process::finish(std::chrono::milliseconds limit) {
    if (!started()) return -1;
    if (const auto status = waitFor(limit)) return *status;
    kill();
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reap(status);
    return -1;
}

void Process::signal(int sig) const {
    if (started() && !reaped_) ::kill(pid_, sig);
}
void Process::terminate() const {
    signal(SIGTERM);
}
void Process::kill() const {
    signal(SIGKILL);
}

namespace {

// Reads what is ready on the open descriptors into their buffers, waiting until the
// deadline for something; false when nothing came (all closed, or the deadline passed).
bool pump(int* fds[2], std::string* sinks[2], const Deadline& deadline) {
    pollfd p[2];
    int count = 0;
    int which[2];
    for (int i = 0; i < 2; ++i) {
        if (*fds[i] >= 0) {
            p[count] = {*fds[i], POLLIN, 0};
            which[count++] = i;
        }
    }
    if (count == 0 || ::poll(p, static_cast<nfds_t>(count), deadline.leftMs()) <= 0) return false;
    for (int k = 0; k < count; ++k) {
        if (p[k].revents == 0) continue;
        char buf[4096];
        const ssize_t n = ::read(p[k].fd, buf, sizeof buf);
        if (n > 0) {
            sinks[which[k]]->append(buf, static_cast<std::size_t>(n));
        } else {
            ::close(p[k].fd);
            *fds[which[k]] = -1;
        }
    }
    return true;
}

}  // namespace

std::string Process::out(std::chrono::milliseconds limit) {
    const Deadline deadline(limit);
    int* fds[2] = {&out_, &err_};
    std::string* sinks[2] = {&outBuffer_, &errBuffer_};
    while (out_ >= 0 && pump(fds, sinks, deadline)) {
    }
    return std::exchange(outBuffer_, std::string());
}

std::string Process::err(std::chrono::milliseconds limit) {
    const Deadline deadline(limit);
    int* fds[2] = {&out_, &err_};
    std::string* sinks[2] = {&outBuffer_, &errBuffer_};
    while (err_ >= 0 && pump(fds, sinks, deadline)) {
    }
    return std::exchange(errBuffer_, std::string());
}

std::string Process::errLine(std::chrono::milliseconds limit) {
    return nextLine(true, limit);
}
std::string Process::outLine(std::chrono::milliseconds limit) {
    return nextLine(false, limit);
}

std::string Process::nextLine(bool fromErr, std::chrono::milliseconds limit) {
    const Deadline deadline(limit);
    int* fds[2] = {&out_, &err_};
    std::string* sinks[2] = {&outBuffer_, &errBuffer_};
    std::string& buffer = fromErr ? errBuffer_ : outBuffer_;
    const int& fd = fromErr ? err_ : out_;
    std::size_t lf;
    while ((lf = buffer.find('\n')) == std::string::npos) {
        if (fd < 0 || !pump(fds, sinks, deadline)) return "";
    }
    std::string line = buffer.substr(0, lf);
    buffer.erase(0, lf + 1);
    return line;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options,
                         std::chrono::milliseconds limit) {
    ProcessOptions captured = options;
    captured.capture = true;
    Process p = Process::start(argv, captured);
    ProcessResult result;
    if (!p.started()) return result;
    const Deadline deadline(limit);
    result.err = p.err(std::chrono::milliseconds(deadline.leftMs()));
    result.out = p.out(std::chrono::milliseconds(deadline.leftMs()));
    result.status = p.finish(std::chrono::milliseconds(deadline.leftMs()));
    return result;
}
