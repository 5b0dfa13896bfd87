// Runs a real smcemu process on a private socket for one test and points the
// platform stand-in (SMCEMU_SOCKET) at it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Process;

class Emulator {
  public:
    // A shipped profile by file name, e.g. "recent-2fan.prof".
    static std::string shippedProfile(const std::string& name);

    // Starts the emulator on a profile file, or on profile text when `isText` is true.
    explicit Emulator(const std::string& profile, bool isText = false);
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Sends one control line and returns the reply line without its line feed.
    std::string control(const std::string& line);
    // Current raw bytes of a key, read through the control socket.
    std::vector<std::uint8_t> value(const std::string& key);

    const std::string& socketPath() const { return socket_; }
    const std::string& dir() const { return dir_; }
    pid_t pid() const;

  private:
    std::string dir_;
    std::string socket_;
    std::unique_ptr<Process> process_;
};

// One line to a Unix socket on a fresh connection: the reply line without its line feed
// (empty when the peer closes without one), or nothing when no one accepts the connection.
std::optional<std::string> askSocket(const std::string& path, const std::string& line);

// Bytes from a hex string such as "1f40" or "1F 40".
std::vector<std::uint8_t> hexBytes(const std::string& hex);
// Lower-case hex digits of bytes, e.g. "1f40": the inverse of hexBytes.
std::string hexString(const std::vector<std::uint8_t>& bytes);
