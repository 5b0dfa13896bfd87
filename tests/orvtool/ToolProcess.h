// Runs the orvtool binary as a child process and collects what it prints, and encodes
// SMC values so tests can pin emulator keys to known numbers.
#pragma once

#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace tooltest {

struct Result {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or -1 when the process did not exit normally
};

struct RunOptions {
    const char* smcSocket = nullptr;  // overrides SMCEMU_SOCKET in the child when set
    bool dropToNobody = false;        // run as uid/gid 65534
};

// Exit status the child uses when it could not become nobody or exec the binary.
constexpr int kSetupFailed = 125;

inline Result runTool(const std::vector<std::string>& args, const RunOptions& options = {}) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
        if (options.smcSocket) ::setenv("SMCEMU_SOCKET", options.smcSocket, 1);
        // As root the tool keeps the boot's record of fan minimums under /run: each run gets
        // an empty /run of its own, never the machine's.
        if (::geteuid() == 0 &&
            (::unshare(CLONE_NEWNS) != 0 ||
             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0))
            ::_exit(kSetupFailed);
        if (options.dropToNobody &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(kSetupFailed);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("orvtool"));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(ORVTOOL_BINARY, argv.data());
        ::_exit(kSetupFailed);
    }
    ::close(out[1]);
    ::close(err[1]);
    Result result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

inline std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char buf[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        s += buf;
    }
    return s;
}

// "flt ": single-precision float, little-endian.
inline std::string flt(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return hexOf({static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                  static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)});
}

// "fpe2": unsigned 16-bit big-endian, value × 4.
inline std::string fpe2(double v) {
    const auto raw = static_cast<std::uint16_t>(std::lround(v * 4));
    return hexOf({static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)});
}

// "sp78": signed 16-bit big-endian, value × 256.
inline std::string sp78(double v) {
    const auto raw = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 256)));
    return hexOf({static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)});
}

// Lines joined with a line feed after each.
inline std::string lines(std::initializer_list<std::string> items) {
    std::string s;
    for (const std::string& line : items)
        s += line + "\n";
    return s;
}

}  // namespace tooltest
