// What running curves costs the daemon: its processor time a second (the scheduler's count)
// and the SMC calls a second it makes (the emulator's `calls` control) with no curve and with
// two curves running, one from the CPU and one from the hottest of two sensors, on both machine
// families. The temperature is held at a point of the curves, then left to the model under a
// changing load, so that the second phase includes the writes of speeds that move.
//
// Usage: build/bin/curve_bench [SECONDS]   (each phase; default 10; needs root)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "DaemonRates.h"
#include "DaemonRig.h"

namespace {

using bench::calls;
using bench::cpuSeconds;
using bench::measure;
using bench::Rates;

bool isOK(const std::string& reply) {
    return reply.rfind("OK", 0) == 0;
}

bool run(const char* profile, int seconds) {
    DaemonRig rig(ORVTOOL_BINARY, profile);
    if (!rig.ok() || !isOK(rig.emu().control("clock freeze")) ||
        !isOK(rig.emu().control("pin cpu 60")) || !rig.start()) {
        std::fprintf(stderr, "curve_bench: %s: the daemon did not start: %s\n", profile,
                     rig.error().c_str());
        return false;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // past start-up's reads
    const Rates idle = measure(rig, seconds);

    const std::string cpuKey = machines::hasModeKeys(profile) ? "TC0P" : "TC0D";
    if (!isOK(rig.request("curve 0 cpu 40:2500 80:5000")) ||
        !isOK(rig.request("curve 1 max:" + cpuKey + ",TG0P 40:2500 80:5000"))) {
        std::fprintf(stderr, "curve_bench: %s: the curves were refused\n", profile);
        return false;
    }
    // The averages fill with the held temperature and the speeds settle.
    std::this_thread::sleep_for(std::chrono::seconds(12));
    const Rates held = measure(rig, seconds);

    // The model's own temperature, moving with a load that changes every few seconds.
    rig.emu().control("pin cpu off");
    rig.emu().control("clock real");
    long before = calls(rig);
    double cpu0 = cpuSeconds(rig.daemon().pid());
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < std::max(1, seconds / 2); ++i) {
        rig.emu().control(i % 2 == 0 ? "load 0.9" : "load 0.2");
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const Rates moving{static_cast<double>(calls(rig) - before) / wall,
                       (cpuSeconds(rig.daemon().pid()) - cpu0) / wall};

    std::printf("%-16s SMC calls/s: no curve %.2f, two curves held %.2f, two curves moving %.2f\n",
                profile, idle.calls, held.calls, moving.calls);
    std::printf(
        "%-16s daemon CPU: no curve %.1f us/s, two curves held %.1f us/s, moving %.1f us/s "
        "(%.4f %% of a core)\n",
        profile, idle.cpu * 1e6, held.cpu * 1e6, moving.cpu * 1e6,
        std::max(held.cpu, moving.cpu) * 100);
    rig.request("quit");
    rig.daemon().finish();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    return bench::onBothFamilies("curve_bench", argc, argv, run);
}
