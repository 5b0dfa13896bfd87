// What keeping forced fans costs the daemon: the SMC calls a second it makes with no fan, one
// and two fans forced (counted by the emulator's `calls` control), and its processor time a
// second idle and with two fans forced (utime + stime from /proc), on both machine families.
//
// Usage: build/bin/keeper_bench [SECONDS]   (each phase; default 10; needs root)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "DaemonRig.h"

namespace {

// The emulator's call count.
long calls(DaemonRig& rig) {
    const std::string reply = rig.emu().control("calls");
    return reply.rfind("OK ", 0) == 0 ? std::atol(reply.c_str() + 3) : -1;
}

// The process's user and system time so far, in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command's closing parenthesis: state is field 3, utime 14, stime 15.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct Rates {
    double calls = 0;  // SMC calls a second
    double cpu = 0;    // processor seconds a second
};

Rates measure(DaemonRig& rig, int seconds) {
    const long calls0 = calls(rig);
    const double cpu0 = cpuSeconds(rig.daemon().pid());
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return {static_cast<double>(calls(rig) - calls0) / wall,
            (cpuSeconds(rig.daemon().pid()) - cpu0) / wall};
}

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
    std::printf("%-16s SMC calls/s: idle %.2f, one fan kept %.2f, two fans kept %.2f "
                "(%.2f a fan); daemon CPU: idle %.4f %%, two fans kept %.4f %% of a core\n",
                profile, idle.calls, one.calls, two.calls, (two.calls - idle.calls) / 2,
                idle.cpu * 100, two.cpu * 100);
    rig.request("quit");
    rig.daemon().finish();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "keeper_bench: needs root (private mount namespaces)\n");
        return 77;
    }
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    bool ok = true;
    for (const char* profile : {machines::kModeKeys, machines::kRaisedMinimum})
        ok = run(profile, seconds) && ok;
    return ok ? 0 : 1;
}
