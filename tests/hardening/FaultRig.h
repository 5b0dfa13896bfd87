// What the fault sweeps share: the two machine families, and an emulator of one with the
// control daemon serving on it in a private /tmp (the shared DaemonRig), plus forcing a fan
// behind the daemon's back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "DaemonRig.h"

struct Machine {
    const char* name;
    const char* profile;
    const char* raisedMn;  // a raised minimum, on machines without mode keys
};

inline const Machine kRecent{"Recent", machines::kModeKeys, nullptr};
inline const Machine kOlder{"Older", machines::kRaisedMinimum, "3e80"};

inline void PrintTo(const Machine* machine, std::ostream* out) {
    *out << machine->profile;
}

class FaultRig : public DaemonRig {
  public:
    // Starts the emulator with its clock frozen (no fan physics between the checks) and
    // the daemon; daemonStarted tells whether the daemon came up.
    explicit FaultRig(const Machine& m) : DaemonRig(ORVTOOL_BINARY, m.profile), machine(m) {
        emu().control("clock freeze");
        ProcessOptions options;
        options.capture = false;  // the log file is the record
        daemonStarted = start({"serve"}, options);
        daemonPid = daemon().pid();
    }

    static std::string mnKey(int fan) { return "F" + std::to_string(fan) + "Mn"; }
    static std::string mdKey(int fan) { return "F" + std::to_string(fan) + "Md"; }

    std::string socket() const { return socketPath(); }
    std::string log() const { return logFile(); }
    std::uint64_t calls() { return std::stoull(emu().control("calls").substr(3)); }

    // Forces a fan behind everyone's back (control socket: no SMC call is counted).
    void force(int fan) {
        if (hasModeKeys())
            emu().control("set " + mdKey(fan) + " 01");
        else
            emu().control("set " + mnKey(fan) + " " + machine.raisedMn);
    }
    std::vector<bool> forcedFans() { return {forced(0), forced(1)}; }

    const Machine& machine;
    pid_t daemonPid = -1;
    bool daemonStarted = false;
};
