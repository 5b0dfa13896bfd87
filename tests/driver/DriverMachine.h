// The real programs on the applesmc driver model: a private mount namespace (fresh /tmp, /run
// and /var/log) that holds a real smcemu's driver files where that driver's kernel puts them
// (the mainline driver on the platform device, the patched one on the ACPI device), and no
// emulator socket named, so every program started in it reaches its fans through the driver.
// The model's clock is frozen: fan speeds and temperatures keep still, so what a program
// prints depends only on the bytes it was given.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../../orvtool/cli/Texts.h"
#include "../../protocol/ControlProtocol.h"
#include "DriverTree.h"
#include "Emulator.h"
#include "PrivateTmp.h"
#include "Process.h"
#include "SocketClient.h"

namespace drivertest {

constexpr uid_t kNobody = 65534;
// The last line of `orvtool info` on the driver's files.
inline std::string backendLine(const std::string& driver) {
    return texts::kInfoBackendDriver + DriverTree::directoryFor(driver) + ")\n";
}
// The words of a refused write that root could not make either.
constexpr const char* kUnsupported = protocol::kWriteUnsupportedText;
// The replies of the daemon to set and auto of one fan, and to quit.
inline std::string setReply(int fan, int rpm) {
    return protocol::kReplySet + std::to_string(fan) + protocol::kReplySetRPM + std::to_string(rpm);
}
inline std::string autoReply(int fan) {
    return protocol::kReplyAutoFan + std::to_string(fan);
}

// Changes to a program's environment (a value of nullopt removes the variable).
using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct Output {
    int status = -1;
    std::string text;  // standard output and error, as they came
};

class DriverMachine {
  public:
    // Whether the machine can run these tests at all; the reason when not.
    static std::string missing() {
        if (::geteuid() != 0) return "a private mount namespace needs root";
        if (!DriverTree::fuseAvailable()) return "no /dev/fuse";
        return "";
    }

    // Mounts the model of `profile` (a shipped profile's file name) with `driver`
    // ("mainline" or "t2") in `layout` ("device" or "hwmon") and freezes its clock.
    DriverMachine(const std::string& profile, const std::string& driver,
                  const std::string& layout = "device") {
        // Programs inherit this process's environment: with an emulator named they would
        // never look for the driver.
        ::unsetenv("SMCEMU_SOCKET");
        if (!ns_.ok()) {
            error_ = ns_.error();
            return;
        }
        tree_ =
            std::make_unique<DriverTree>(ns_, Emulator::shippedProfile(profile), driver, layout);
        if (!tree_->ok()) {
            error_ = tree_->error();
        } else if (tree_->control("clock freeze").rfind("OK", 0) != 0) {
            error_ = "the model's clock did not freeze";
        }
    }

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    PrivateTmp& ns() { return ns_; }
    DriverTree& tree() { return *tree_; }

    // Stops the model; its exit status (0: it ended cleanly with its files unmounted).
    int stop() { return tree_ ? tree_->stop() : -1; }

    // orvtool from the build, run to its end inside as `uid`, with `env` changed in its
    // environment.
    Output tool(const std::vector<std::string>& args, uid_t uid = 0, const Environment& env = {}) {
        const std::string log = nextLog();
        Output out;
        out.status = startTool(args, log, uid, env).finish(std::chrono::seconds(60));
        out.text = ns_.read(log);
        return out;
    }
    // orvtool started inside as `uid`, printing to `log` (a path inside).
    Process startTool(const std::vector<std::string>& args, const std::string& log, uid_t uid = 0,
                      const Environment& env = {}) {
        return start(argv(args), log, uid, env);
    }
    // Any program started inside, both its output streams to `log` (a path inside; none:
    // /dev/null).
    Process start(const std::vector<std::string>& argv, const std::string& log = "", uid_t uid = 0,
                  const Environment& env = {}) {
        ProcessOptions options;
        options.env = env;
        options.uid = uid;
        options.namespaceFd = ns_.namespaceFd();
        options.capture = false;
        options.logFile = log;
        return Process::start(argv, options);
    }
    std::string nextLog() { return "/tmp/orvtool." + std::to_string(++runs_) + ".log"; }

    // A key's bytes in the model, as hex ("1f40"); empty when the model lacks the key.
    std::string bytes(const std::string& key) { return hexString(tree_->value(key)); }

    // The control daemon (orvtool serve as root): whether it came up, the process, and
    // requests to it.
    bool startDaemon(const Environment& env = {}) {
        daemon_ = startTool({"serve"}, "/tmp/daemon.out", 0, env);
        return ns_.waitForSocket(protocol::kFallbackSocketPath, daemon_.pid());
    }
    Process& daemon() { return daemon_; }
    // The reply line, empty when nobody answers.
    std::string request(const std::string& line) {
        return SocketClient::ask(ns_.path(protocol::kFallbackSocketPath), line).value_or("");
    }

  private:
    static std::vector<std::string> argv(const std::vector<std::string>& args) {
        std::vector<std::string> all{ORVTOOL_BINARY};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    PrivateTmp ns_;
    std::unique_ptr<DriverTree> tree_;
    Process daemon_;
    std::string error_;
    int runs_ = 0;
};

// A test's machine, the model stopped cleanly at the end (no sanitizer report, files
// unmounted while programs may still hold them).
class DriverTest : public testing::Test {
  protected:
    void SetUp() override {
        const std::string why = DriverMachine::missing();
        if (!why.empty()) GTEST_SKIP() << why;
    }
    void TearDown() override {
        if (!machine || !machine->ok()) return;
        EXPECT_EQ(machine->stop(), 0) << machine->tree().log();
    }
    // Starts the model; false (with a failure) when it does not come up.
    bool mount(const std::string& profile, const std::string& driver,
               const std::string& layout = "device") {
        machine = std::make_unique<DriverMachine>(profile, driver, layout);
        EXPECT_TRUE(machine->ok()) << machine->error();
        return machine->ok();
    }

    std::unique_ptr<DriverMachine> machine;
};

}  // namespace drivertest
