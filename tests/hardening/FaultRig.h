// What the fault sweeps share: the two machine families, and an emulator of one with the
// control daemon serving on it in a private /tmp, plus what tells whether a fan is forced.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "Emulator.h"
#include "PrivateTmp.h"

struct Machine {
    const char* name;
    const char* profile;
    bool modeKeys;         // fans are forced through F{i}Md (recent) or a raised F{i}Mn (older)
    const char* raisedMn;  // a raised minimum, on machines without mode keys
};

inline const Machine kRecent{"Recent", "recent-2fan.prof", true, nullptr};
inline const Machine kOlder{"Older", "older-2fan.prof", false, "3e80"};

inline void PrintTo(const Machine* machine, std::ostream* out) {
    *out << machine->profile;
}

class FaultRig {
  public:
    // Starts the emulator with its clock frozen (no fan physics between the checks) and
    // the daemon; daemonStarted tells whether the daemon came up.
    explicit FaultRig(const Machine& m) : machine(m), emu(Emulator::shippedProfile(m.profile)) {
        emu.control("clock freeze");
        for (int fan = 0; fan < 2; ++fan)
            originalMn[fan] = hexString(emu.value(mnKey(fan)));
        if (!tmp.ok()) return;
        daemonPid = tmp.start({ORVTOOL_BINARY, "serve"}, "/tmp/orvane-daemon.log");
        daemonStarted = tmp.waitForSocket("/tmp/orvane.sock", daemonPid);
    }

    static std::string mnKey(int fan) { return "F" + std::to_string(fan) + "Mn"; }
    static std::string mdKey(int fan) { return "F" + std::to_string(fan) + "Md"; }

    std::string socket() const { return tmp.path("/tmp/orvane.sock"); }
    std::string log() const { return tmp.read("/tmp/orvane-daemon.log"); }
    std::uint64_t calls() { return std::stoull(emu.control("calls").substr(3)); }

    // Forces a fan behind everyone's back (control socket: no SMC call is counted).
    void force(int fan) {
        if (machine.modeKeys)
            emu.control("set " + mdKey(fan) + " 01");
        else
            emu.control("set " + mnKey(fan) + " " + machine.raisedMn);
    }
    // A fan is forced when its mode byte is set or its minimum differs from the original.
    bool forced(int fan) {
        if (machine.modeKeys && hexString(emu.value(mdKey(fan))) != "00") return true;
        return hexString(emu.value(mnKey(fan))) != originalMn[fan];
    }
    std::vector<bool> forcedFans() { return {forced(0), forced(1)}; }

    const Machine& machine;
    Emulator emu;
    PrivateTmp tmp;
    std::string originalMn[2];
    pid_t daemonPid = -1;
    bool daemonStarted = false;
};
