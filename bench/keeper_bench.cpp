// What keeping forced fans costs the daemon: the SMC calls a second it makes with no fan, one
// and two fans forced (counted by the emulator's `calls` control), and its processor time a
// second idle and with two fans forced (the scheduler's count), on both machine families.
//
// Usage: build/bin/keeper_bench [SECONDS]   (each phase; default 10; needs root)
#include <unistd.h>

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
using bench::measure;
using bench::Rates;

bool run(const char* profile, int seconds) {
    DaemonRig rig(ORVTOOL_BINARY, profile);
    if (!rig.ok() || rig.emu().control("clock freeze").rfind("OK", 0) != 0 || !rig.start()) {
        std::fprintf(stderr, "keeper_bench: %s: the daemon did not start: %s\n", profile,
                     rig.error().c_str());
        return false;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // past start-up's reads
    const Rates idle = measure(rig, seconds);
    if (rig.request("set 0 3000").rfind("OK", 0) != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Rates one = measure(rig, seconds);
    if (rig.request("set 1 3000").rfind("OK", 0) != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Rates two = measure(rig, seconds);
    std::printf(
        "%-16s SMC calls/s: idle %.2f, one fan kept %.2f, two fans kept %.2f "
        "(%.2f for each further fan)\n",
        profile, idle.calls, one.calls, two.calls, two.calls - one.calls);
    std::printf("%-16s daemon CPU: idle %.1f us/s, two fans kept %.1f us/s (%.4f %% of a core)\n",
                profile, idle.cpu * 1e6, two.cpu * 1e6, two.cpu * 100);
    rig.request("quit");
    rig.daemon().finish();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    return bench::onBothFamilies("keeper_bench", argc, argv, run);
}
