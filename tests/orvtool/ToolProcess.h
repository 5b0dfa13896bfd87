// Runs the orvtool binary as a child process (Process) and collects what it prints, and
// encodes SMC values so tests can pin emulator keys to known numbers.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "Emulator.h"
#include "Process.h"

namespace tooltest {

using Result = ProcessResult;
using ::kSetupFailed;

struct RunOptions {
    const char* smcSocket = nullptr;  // overrides SMCEMU_SOCKET in the child when set
    bool dropToNobody = false;        // run as uid/gid 65534
};

inline Result runTool(const std::vector<std::string>& args, const RunOptions& options = {}) {
    std::vector<std::string> argv{ORVTOOL_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions run;
    if (options.smcSocket) run.env.push_back({"SMCEMU_SOCKET", options.smcSocket});
    // As root the tool keeps the boot's record of fan minimums under /run: each run gets
    // an empty /run of its own, never the machine's.
    run.privateRun = ::geteuid() == 0;
    if (options.dropToNobody) run.uid = 65534;
    return runProcess(argv, run);
}

inline std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    return hexString(bytes);
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
