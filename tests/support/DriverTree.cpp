#include "DriverTree.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Emulator.h"

namespace {

constexpr size_t kMaxRead = 4096;

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

bool DriverTree::fuseAvailable() {
    struct stat st {};
    return ::stat("/dev/fuse", &st) == 0 && S_ISCHR(st.st_mode);
}

DriverTree::DriverTree(PrivateTmp& ns, const std::string& profile, const std::string& driver,
                       const std::string& layout)
    : ns_(ns) {
    if (!ns.ok()) {
        error_ = "no private namespace: " + ns.error();
        return;
    }
    char pattern[] = "/dev/shm/drivertree.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        error_ = "mkdtemp";
        return;
    }
    dir_ = pattern;
    directory_ = directoryFor(driver);
    const std::string acpi = "/sys/bus/acpi/devices";
    // The ACPI node the patched driver's link points to, as /sys/devices/LNXSYSTM:00/… does
    // (linked relatively, so the test process reaches it through /proc/<holder>/root too).
    const std::string node = "LNXSYSTM:00.APP0001:00";
    const std::string mountPoint = driver == "t2" ? acpi + "/" + node : directory_;
    if (ns.run({"/bin/mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs",
                "/sys/devices/platform"}) != 0 ||
        ns.run({"/bin/mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", acpi}) != 0 ||
        ns.run({"/bin/mkdir", mountPoint}) != 0 ||
        (mountPoint != directory_ && ns.run({"/bin/ln", "-s", node, directory_}) != 0)) {
        error_ = "cannot cover the driver's places in the namespace";
        return;
    }
    // The log is opened inside the namespace, where /dev/shm is the machine's.
    const std::string logPath = dir_ + "/smcemu.log";
    pid_ = ns.start({SMCEMU_BINARY, "--profile", profile, "--socket", dir_ + "/smc.sock",
                     "--driver-fs", mountPoint, "--driver", driver, "--driver-layout", layout},
                    logPath);
    const std::string covered = driver == "t2" ? acpi : "/sys/devices/platform";
    struct stat dirStat {};
    ::stat(ns.path(covered).c_str(), &dirStat);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        // Mounted once the directory lies on another device than the tmpfs beneath it.
        struct stat st {};
        if (::stat(path("key_count").c_str(), &st) == 0 && st.st_dev != dirStat.st_dev) {
            ok_ = true;
            return;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error_ = "smcemu did not mount the driver's files: " + this->log();
}

DriverTree::~DriverTree() {
    stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

int DriverTree::stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    pid_t done;
    while ((done = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string DriverTree::log() const {
    return fileText(dir_ + "/smcemu.log");
}

std::string DriverTree::directoryFor(const std::string& driver) {
    return driver == "t2" ? kAcpiDirectory : kPlatformDirectory;
}

std::string DriverTree::path(const std::string& file) const {
    return ns_.path(directory_ + "/" + file);
}

// Runs one read or write of a file in a child that joins the namespace as `uid`. The child
// sends its errno (0 on success) and then what it read through a pipe.
DriverTree::Result DriverTree::access(const std::string& file, const std::string* text,
                                      uid_t uid) const {
    const std::string inside = directory_ + "/" + file;
    const int nsFd = ns_.namespaceFd();
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {errno, {}};
    const pid_t pid = ::fork();
    if (pid == 0) {
        // System calls only: the test process may have other threads.
        ::close(pipeFds[0]);
        int error = 0;
        char buffer[kMaxRead];
        ssize_t n = 0;
        if (::setns(nsFd, CLONE_NEWNS) != 0 || ::chdir("/") != 0 ||
            (uid != 0 &&
             (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))) {
            error = -1;
        } else {
            const int fd = ::open(inside.c_str(), text ? O_WRONLY : O_RDONLY);
            if (fd < 0) {
                error = errno;
            } else {
                n = text ? ::write(fd, text->data(), text->size())
                         : ::read(fd, buffer, sizeof buffer);
                if (n < 0) error = errno;
                ::close(fd);
            }
        }
        (void)!::write(pipeFds[1], &error, sizeof error);
        if (!text && n > 0) (void)!::write(pipeFds[1], buffer, static_cast<size_t>(n));
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    Result result;
    std::string received;
    char buffer[kMaxRead];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) received.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    if (pid < 0 || received.size() < sizeof(int)) return {-1, {}};
    std::memcpy(&result.error, received.data(), sizeof(int));
    result.text = received.substr(sizeof(int));
    return result;
}

DriverTree::Result DriverTree::read(const std::string& file, uid_t uid) const {
    return access(file, nullptr, uid);
}

int DriverTree::write(const std::string& file, const std::string& text, uid_t uid) const {
    return access(file, &text, uid).error;
}

std::string DriverTree::control(const std::string& line) const {
    return askSocket(dir_ + "/smc.sock.ctl", line).value_or("ERR control socket unreachable");
}

std::vector<std::uint8_t> DriverTree::value(const std::string& key) const {
    std::string word = key.find(' ') == std::string::npos ? key : "\"" + key + "\"";
    std::string reply = control("get " + word);
    if (reply.rfind("OK", 0) != 0) return {};
    return hexBytes(reply.substr(reply.find_last_of(' ') + 1));
}
