#include "DaemonRig.h"

#include <utility>

#include "../../orvtool/serve/ServeTexts.h"

DaemonRig::DaemonRig(std::string tool, const std::string& profile)
    : tool_(std::move(tool)),
      profile_(profile),
      emu_(std::make_unique<Emulator>(Emulator::shippedProfile(profile))) {
    for (int fan = 0;; ++fan) {
        const std::string reply = emu_->control("get F" + std::to_string(fan) + "Mn");
        if (reply.rfind("OK", 0) != 0) break;
        factory_.push_back(hexBytes(reply.substr(reply.find_last_of(' ') + 1)));
    }
}

bool DaemonRig::start(const std::vector<std::string>& args, ProcessOptions options,
                      const std::string& socketInside) {
    if (!ok()) return false;
    std::vector<std::string> argv{tool_};
    argv.insert(argv.end(), args.begin(), args.end());
    options.namespaceFd = tmp_.namespaceFd();
    // A bus the test named itself in `options` wins.
    bool named = false;
    for (const auto& [key, value] : options.env)
        named = named || key == "DBUS_SYSTEM_BUS_ADDRESS";
    if (!named) options.env.emplace_back("DBUS_SYSTEM_BUS_ADDRESS", systemBus_);
    daemon_ = Process::start(argv, options);
    return waitForSocket(daemon_, socketInside);
}

bool DaemonRig::waitForSocket(Process& server, const std::string& socketInside) {
    const std::string reachable = tmp_.path(socketInside);
    return waitUntil([&] { return SocketClient::canConnect(reachable) || !server.running(); }) &&
           server.running();
}

std::string DaemonRig::logLine() {
    std::string line = daemon_.errLine();
    if (systemBus_ == kNoSystemBus && line.rfind(texts::kServeLogNoPowerEvents, 0) == 0)
        line = daemon_.errLine();
    return line;
}

std::string DaemonRig::request(const std::string& line) const {
    return SocketClient::ask(socketPath(), line).value_or("");
}

ProcessResult DaemonRig::tool(const std::vector<std::string>& args, ProcessOptions options) {
    std::vector<std::string> argv{tool_};
    argv.insert(argv.end(), args.begin(), args.end());
    options.namespaceFd = tmp_.namespaceFd();
    return runProgram(argv, options);
}

bool DaemonRig::forced(int fan) {
    const std::string prefix = "F" + std::to_string(fan);
    if (hasModeKeys()) return key(prefix + "Md") != std::vector<std::uint8_t>{0};
    return key(prefix + "Mn") != factory_.at(static_cast<std::size_t>(fan));
}
