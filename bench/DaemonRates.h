// What the daemon costs while it runs, for the benchmarks: the emulator's count of SMC calls
// and the processor time of the daemon's one thread, as rates over a span of seconds.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "DaemonRig.h"

namespace bench {

// The emulator's call count.
inline long calls(DaemonRig& rig) {
    const std::string reply = rig.emu().control("calls");
    return reply.rfind("OK ", 0) == 0 ? std::atol(reply.c_str() + 3) : -1;
}

// The processor time the process's thread has used so far, in seconds: the scheduler's own
// count in nanoseconds (/proc/PID/schedstat), finer than the clock ticks of /proc/PID/stat.
// The daemon is one thread.
inline double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return static_cast<double>(ns) / 1e9;
}

struct Rates {
    double calls = 0;  // SMC calls a second
    double cpu = 0;    // processor seconds a second
};

// The daemon's rates over the next `seconds`.
inline Rates measure(DaemonRig& rig, int seconds) {
    const long calls0 = calls(rig);
    const double cpu0 = cpuSeconds(rig.daemon().pid());
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return {static_cast<double>(calls(rig) - calls0) / wall,
            (cpuSeconds(rig.daemon().pid()) - cpu0) / wall};
}

// A benchmark's main: as root, `run(profile, seconds)` on both machine families, the seconds
// from the first argument (10 unless given); 77 (skipped) without root.
inline int onBothFamilies(const char* name, int argc, char** argv,
                          bool (*run)(const char* profile, int seconds)) {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "%s: needs root (private mount namespaces)\n", name);
        return 77;
    }
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    bool ok = true;
    for (const char* profile : {machines::kModeKeys, machines::kRaisedMinimum})
        ok = run(profile, seconds) && ok;
    return ok ? 0 : 1;
}

}  // namespace bench
