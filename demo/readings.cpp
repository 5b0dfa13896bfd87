// Prints the fans and temperatures read through FanController every half second,
// for the given number of seconds (default 10).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "FanController.h"

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    try {
        FanController fc;
        std::printf("%d fans:", fc.numberOfFans());
        for (const FanInfo& f : fc.allFans()) {
            std::printf("  [%d] %s %.0f-%.0f rpm", f.index, f.name.c_str(), f.minRPM, f.maxRPM);
        }
        std::printf("\n");
        for (int tick = 0; tick <= seconds * 2; ++tick) {
            std::printf("%5.1fs", tick * 0.5);
            for (const FanLiveInfo& f : fc.liveFans()) {
                std::printf("  fan%d %5.0f rpm%s", f.index, f.currentRPM,
                            f.forced ? " (forced)" : "");
            }
            auto cpu = fc.cpuTemperature();
            auto gpu = fc.gpuTemperature();
            std::printf("  CPU %5.1f C  GPU %5.1f C\n", cpu.value_or(-1), gpu.value_or(-1));
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    } catch (const SMCError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
