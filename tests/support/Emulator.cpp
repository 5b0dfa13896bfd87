#include "Emulator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "Deadline.h"
#include "Process.h"
#include "SocketClient.h"

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
    ProcessOptions options;
    options.capture = false;
    options.logFile = dir_ + "/smcemu.log";
    process_ = std::make_unique<Process>(
        Process::start({SMCEMU_BINARY, "--profile", profileFile, "--socket", socket_}, options));
    const bool up = waitUntil([&] {
                        return SocketClient::canConnect(socket_ + ".ctl") || !process_->running();
                    }) &&
                    process_->running();
    if (!up) throw std::runtime_error("smcemu did not start; see " + dir_ + "/smcemu.log");
    ::setenv("SMCEMU_SOCKET", socket_.c_str(), 1);
}

Emulator::~Emulator() {
    process_->terminate();
    process_->finish();
    ::unsetenv("SMCEMU_SOCKET");
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)!std::system(cmd.c_str());
}

pid_t Emulator::pid() const {
    return process_->pid();
}

std::optional<std::string> askSocket(const std::string& path, const std::string& line) {
    return SocketClient::ask(path, line);
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
