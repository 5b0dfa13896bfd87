// Cost of one refresh tick of the tray application (the live fan records, then the CPU and
// GPU temperatures for the menu and again for the boost) through the applesmc driver model
// against the same tick through the emulator's socket, on the same machine profile. The
// driver is read as root (index files under the selection lock) and as a user (the fans' and
// sensors' own attributes), as the daemon and the application would. Prints each driver
// tick's time as a multiple of the emulator's.
//
// Needs root: the model is mounted over /sys/devices/platform in a private mount namespace,
// which this process then joins. The model is a FUSE file system, so its figures include a
// round trip to the model's process for every file access; they say nothing about the
// driver's own speed on a real machine.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "DriverTree.h"
#include "Emulator.h"
#include "FanController.h"
#include "PrivateTmp.h"
#include "TempRecord.h"

namespace {

constexpr const char* kProfile = "older-2fan.prof";  // fits the mainline driver

std::unique_ptr<Emulator> gEmulator;
std::unique_ptr<PrivateTmp> gNamespace;
std::unique_ptr<DriverTree> gTree;

long long calls(const std::string& reply) {  // "OK <n>"
    return reply.rfind("OK ", 0) == 0 ? std::stoll(reply.substr(3)) : 0;
}

enum class Path { emulator, driverRoot, driverUser };

// The effective user for the driver's files while the benchmark runs; root again after.
class ActingAs {
  public:
    explicit ActingAs(bool user) {
        if (!user) return;
        const passwd* nobody = ::getpwnam("nobody");
        ok_ = nobody != nullptr && ::setegid(nobody->pw_gid) == 0 && ::seteuid(nobody->pw_uid) == 0;
        changed_ = true;
    }
    ~ActingAs() {
        if (changed_ && (::seteuid(0) != 0 || ::setegid(0) != 0)) std::abort();
    }
    bool ok() const { return ok_; }

  private:
    bool ok_ = true;
    bool changed_ = false;
};

void BM_RefreshTick(benchmark::State& state, Path path) {
    // The stand-in picks its backend when the service is matched: the emulator while its
    // socket is named, the driver otherwise.
    if (path == Path::emulator)
        ::setenv("SMCEMU_SOCKET", gEmulator->socketPath().c_str(), 1);
    else
        ::unsetenv("SMCEMU_SOCKET");
    // The models' control channels are root's: counted outside the user's part.
    auto counter = [&] {
        return calls(path == Path::emulator ? gEmulator->control("calls")
                                            : gTree->control("calls"));
    };
    const long long before = counter();
    {
        ActingAs actor(path == Path::driverUser);
        if (!actor.ok()) {
            state.SkipWithError("cannot act as nobody");
            return;
        }
        FanController fc(noRecord());  // never the machine's own record
        fc.liveFans();                 // key information cached, as after the first tick
        for (auto _ : state) {
            benchmark::DoNotOptimize(fc.liveFans());
            for (int i = 0; i < 2; ++i) {
                benchmark::DoNotOptimize(fc.cpuTemperature());
                benchmark::DoNotOptimize(fc.gpuTemperature());
            }
        }
    }
    // Including the first tick's, which the timing leaves out.
    state.counters["smc_calls_per_tick"] =
        double(counter() - before) / double(state.iterations() + 1);
}
BENCHMARK_CAPTURE(BM_RefreshTick, emulator, Path::emulator)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RefreshTick, driver_root, Path::driverRoot)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RefreshTick, driver_user, Path::driverUser)->Unit(benchmark::kMicrosecond);

// The console's table, and each benchmark's real time per iteration kept for the ratios:
// the median of its repetitions when it has several, else its one run.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || (run.run_type == Run::RT_Iteration && run.repetitions <= 1))
                times[run.run_name.str()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (::geteuid() != 0) {
        std::fprintf(stderr, "driver_bench: needs root (a private mount namespace)\n");
        return 1;
    }
    if (!DriverTree::fuseAvailable()) {
        std::fprintf(stderr, "driver_bench: no /dev/fuse\n");
        return 1;
    }
    gEmulator = std::make_unique<Emulator>(Emulator::shippedProfile(kProfile));
    gNamespace = std::make_unique<PrivateTmp>();
    gTree = std::make_unique<DriverTree>(*gNamespace, Emulator::shippedProfile(kProfile));
    if (!gTree->ok()) {
        std::fprintf(stderr, "driver_bench: %s\n", gTree->error().c_str());
        return 1;
    }
    // Both machines hold still, so every tick reads the same values.
    gEmulator->control("clock freeze");
    gTree->control("clock freeze");
    // Into the namespace where the driver's directory is (this process has one thread yet),
    // and back out before it is torn down, which ends every process inside.
    const int home = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (home < 0 || ::setns(gNamespace->namespaceFd(), CLONE_NEWNS) != 0 || ::chdir("/") != 0) {
        std::perror("driver_bench: setns");
        return 1;
    }

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto emulator = reporter.times.find("BM_RefreshTick/emulator");
    if (emulator != reporter.times.end() && emulator->second > 0) {
        for (const char* name : {"BM_RefreshTick/driver_root", "BM_RefreshTick/driver_user"}) {
            const auto driver = reporter.times.find(name);
            if (driver != reporter.times.end())
                std::printf("%s / emulator: %.2f\n", name, driver->second / emulator->second);
        }
    }
    if (::setns(home, CLONE_NEWNS) != 0) {
        std::perror("driver_bench: setns back");
        std::_Exit(1);  // tearing the namespace down now would end this process too
    }
    ::close(home);
    gTree.reset();
    gNamespace.reset();
    gEmulator.reset();
    benchmark::Shutdown();
    return 0;
}
