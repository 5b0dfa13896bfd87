#include "Emulator.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace {

int connectTo(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string Emulator::shippedProfile(const std::string& name) {
    return std::string(SMCEMU_PROFILE_DIR) + "/" + name;
}

Emulator::Emulator(const std::string& profile, bool isText) {
    // Outside /tmp and /run when possible, so tests that mount a private /tmp and /run
    // still reach it.
    std::string tmpl =
        ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/emutest.XXXXXX" : "/tmp/emutest.XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    ::chmod(dir_.c_str(), 0755);  // other users must reach the socket inside
    socket_ = dir_ + "/smc.sock";
    std::string profileFile = profile;
    if (isText) {
        profileFile = dir_ + "/test.prof";
        std::ofstream(profileFile) << profile;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test that dies does not leave its emulator
        std::string log = dir_ + "/smcemu.log";
        FILE* err = std::freopen(log.c_str(), "w", stderr);
        (void)err;
        ::execl(SMCEMU_BINARY, "smcemu", "--profile", profileFile.c_str(), "--socket",
                socket_.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        int fd = connectTo(socket_ + ".ctl");
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        int status;
        if (::waitpid(pid_, &status, WNOHANG) == pid_ ||
            std::chrono::steady_clock::now() > deadline) {
            pid_ = -1;
            throw std::runtime_error("smcemu did not start; see " + dir_ + "/smcemu.log");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::setenv("SMCEMU_SOCKET", socket_.c_str(), 1);
}

Emulator::~Emulator() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    ::unsetenv("SMCEMU_SOCKET");
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)!std::system(cmd.c_str());
}

std::optional<std::string> askSocket(const std::string& path, const std::string& line) {
    const int fd = connectTo(path);
    if (fd < 0) return std::nullopt;
    const std::string request = line + "\n";
    std::string reply;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
        char c;
        while (::recv(fd, &c, 1, 0) == 1 && c != '\n')
            reply.push_back(c);
    }
    ::close(fd);
    return reply;
}

std::string Emulator::control(const std::string& line) {
    auto reply = askSocket(socket_ + ".ctl", line);
    if (!reply) throw std::runtime_error("control socket unreachable");
    return *reply;
}

std::vector<std::uint8_t> Emulator::value(const std::string& key) {
    // "OK <TYPE> <SIZE> <HEX>"; the type may hold a space, so take the last word.
    std::string word = key.find(' ') == std::string::npos ? key : "\"" + key + "\"";
    std::string reply = control("get " + word);
    if (reply.rfind("OK", 0) != 0) throw std::runtime_error("get " + key + ": " + reply);
    return hexBytes(reply.substr(reply.find_last_of(' ') + 1));
}

std::vector<std::uint8_t> hexBytes(const std::string& hex) {
    std::vector<std::uint8_t> out;
    std::string digits;
    for (char c : hex) {
        if (c != ' ') digits.push_back(c);
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string hexString(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}
