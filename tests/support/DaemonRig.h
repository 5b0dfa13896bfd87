// The control daemon as the end-to-end tests run it: a real emulator on a chosen profile
// and `orvtool serve` in a private /tmp, /var/log and /run (PrivateTmp), with the daemon's
// standard error captured line by line. Needs root.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Emulator.h"
#include "PrivateTmp.h"
#include "Process.h"
#include "SocketClient.h"

// The shipped profiles of the two machine families the daemon must handle alike.
namespace machines {
inline constexpr const char* kModeKeys = "recent-2fan.prof";      // F{i}Md and "flt " values
inline constexpr const char* kRaisedMinimum = "older-2fan.prof";  // no mode keys, "fpe2"
inline bool hasModeKeys(const std::string& profile) {
    return profile == kModeKeys;
}
}  // namespace machines

class DaemonRig {
  public:
    // `tool` is the orvtool binary (ORVTOOL_BINARY); `profile` a shipped profile's file name.
    // Starts the emulator and the namespace, not yet the daemon.
    explicit DaemonRig(std::string tool, const std::string& profile = machines::kModeKeys);

    // Whether the namespace is up; error() says why not.
    bool ok() const { return tmp_.ok(); }
    const std::string& error() const { return tmp_.error(); }

    Emulator& emu() { return *emu_; }
    PrivateTmp& tmp() { return tmp_; }
    bool hasModeKeys() const { return machines::hasModeKeys(profile_); }

    // The system bus the daemon is given (DBUS_SYSTEM_BUS_ADDRESS): by default a socket that
    // does not exist, so that no test reaches the machine's own bus; a test with a private
    // bus (FakeLogind::busAddress()) names it here before start().
    static constexpr const char* kNoSystemBus =
        "unix:path=/nonexistent/orvane-test/system_bus_socket";
    void useSystemBus(const std::string& address) { systemBus_ = address; }

    // Starts `orvtool serve` (or other arguments) inside with standard error captured and
    // waits until its socket (socketInside, the /tmp one unless a test fights over that)
    // accepts; false when it exited or did not come up in time. The process stays in
    // daemon() either way.
    bool start(const std::vector<std::string>& args = {"serve"}, ProcessOptions options = {},
               const std::string& socketInside = "/tmp/orvane.sock");
    Process& daemon() { return daemon_; }
    // Waits until the /tmp socket accepts; false when `server` ends first or the limit passes.
    bool waitForSocket(Process& server, const std::string& socketInside = "/tmp/orvane.sock");
    // The next line the daemon wrote to standard error; empty at its end. Given no system
    // bus, the daemon says once at start that it has no sleep events: that line is passed
    // over, so tests read the lines of what they do.
    std::string logLine();
    // The daemon's log file (/var/log/orvane/daemon.log inside).
    std::string logFile() const { return tmp_.read("/var/log/orvane/daemon.log"); }

    // /tmp/orvane.sock and /run/orvane/orvane.sock inside, as this process reaches them.
    std::string socketPath() const { return tmp_.path("/tmp/orvane.sock"); }
    std::string mainSocketPath() const { return tmp_.path("/run/orvane/orvane.sock"); }
    SocketClient connect() const { return SocketClient(socketPath()); }
    // One request on a fresh connection: the reply line, empty when nobody answers.
    std::string request(const std::string& line) const;

    // Runs orvtool with `args` inside the namespace to its end, output captured.
    ProcessResult tool(const std::vector<std::string>& args, ProcessOptions options = {});

    // Raw bytes of a key in the emulator.
    std::vector<std::uint8_t> key(const std::string& name) { return emu_->value(name); }
    // Whether fan `fan` is forced in the SMC: its mode byte set on a machine with mode keys,
    // its minimum off the factory one (as the rig started) on a machine without.
    bool forced(int fan);
    // The minimum of fan `fan` as the rig found it.
    const std::vector<std::uint8_t>& factoryMinimum(int fan) const { return factory_.at(fan); }

  private:
    std::string tool_;
    std::string profile_;
    std::string systemBus_ = kNoSystemBus;
    std::unique_ptr<Emulator> emu_;
    std::vector<std::vector<std::uint8_t>> factory_;
    PrivateTmp tmp_;
    Process daemon_;
};
