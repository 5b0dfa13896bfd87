// Cost of the hardware layer against the emulator: one SMC call, one refresh tick
// as the tray application makes it, the sensor list (walking the key index, and reading
// the sensors as a tick with the menu open does), and a bare Unix-socket round trip of the
// same size (84 bytes each way) for comparison.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>

#include "Emulator.h"
#include "FanController.h"
#include "TempRecord.h"

namespace {

std::unique_ptr<Emulator> gEmulator;

long long smcCalls() {
    std::string reply = gEmulator->control("calls");  // "OK <n>"
    return std::stoll(reply.substr(3));
}

void BM_UnixSocketRoundTrip84(benchmark::State& state) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::thread echo([fd = fds[1]] {
        char buf[84];
        for (;;) {
            std::size_t got = 0;
            while (got < sizeof buf) {
                ssize_t n = ::read(fd, buf + got, sizeof buf - got);
                if (n <= 0) return;
                got += n;
            }
            if (::write(fd, buf, sizeof buf) != sizeof buf) return;
        }
    });
    char out[84] = {2};
    char in[84];
    for (auto _ : state) {
        if (::write(fds[0], out, sizeof out) != sizeof out) break;
        std::size_t got = 0;
        while (got < sizeof in)
            got += ::read(fds[0], in + got, sizeof in - got);
        benchmark::DoNotOptimize(in);
    }
    ::shutdown(fds[0], SHUT_RDWR);
    echo.join();
    ::close(fds[0]);
    ::close(fds[1]);
}
BENCHMARK(BM_UnixSocketRoundTrip84);

void BM_SMCCall(benchmark::State& state) {
    SMCConnection conn;
    conn.readBytes("F0Ac");  // warm the key-info cache: each read is now one call
    for (auto _ : state)
        benchmark::DoNotOptimize(conn.readBytes("F0Ac"));
}
BENCHMARK(BM_SMCCall);

// One refresh of the tray application: the live fan records, then the CPU and GPU
// temperatures, read once for the menu and once for the temperature boost.
void BM_RefreshTick(benchmark::State& state) {
    FanController fc(noRecord());  // never the machine's own record
    fc.liveFans();
    long long before = smcCalls();
    for (auto _ : state) {
        benchmark::DoNotOptimize(fc.liveFans());
        for (int i = 0; i < 2; ++i) {
            benchmark::DoNotOptimize(fc.cpuTemperature());
            benchmark::DoNotOptimize(fc.gpuTemperature());
        }
    }
    state.counters["smc_calls_per_tick"] = double(smcCalls() - before) / double(state.iterations());
}
BENCHMARK(BM_RefreshTick)->Unit(benchmark::kMicrosecond);

// The first listing of a process: "#KEY", the key at every position, each sensor's type.
void BM_SensorIndexWalk(benchmark::State& state) {
    long long calls = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto fc = std::make_unique<FanController>(noRecord());
        const long long before = smcCalls();
        state.ResumeTiming();
        benchmark::DoNotOptimize(fc->temperatureSensors());
        state.PauseTiming();
        calls += smcCalls() - before;
        fc.reset();
        state.ResumeTiming();
    }
    state.counters["smc_calls"] = double(calls) / double(state.iterations());
}
BENCHMARK(BM_SensorIndexWalk)->Unit(benchmark::kMicrosecond);

// Every later listing, as each tick with the tray's menu open makes it: the sensors only.
void BM_SensorReadings(benchmark::State& state) {
    FanController fc(noRecord());
    fc.temperatureSensors();
    const long long before = smcCalls();
    for (auto _ : state)
        benchmark::DoNotOptimize(fc.temperatureSensors());
    state.counters["smc_calls"] = double(smcCalls() - before) / double(state.iterations());
}
BENCHMARK(BM_SensorReadings)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    gEmulator = std::make_unique<Emulator>(Emulator::shippedProfile("recent-2fan.prof"));
    benchmark::RunSpecifiedBenchmarks();
    gEmulator.reset();
    benchmark::Shutdown();
    return 0;
}
