#include "Commands.h"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>

#include "FanController.h"
#include "Format.h"
#include "IOKit.h"
#include "LogText.h"
#include "Output.h"
#include "SMCError.h"
#include "Signals.h"
#include "Texts.h"

namespace orvtool {

namespace {

std::string str(std::int64_t v) {
    return std::to_string(v);
}
std::string intText(double v) {
    return str(integerOf(v));
}

// The reading, or the substitute when it fails.
double readOr(double fallback, auto&& read) {
    try {
        return read();
    } catch (const std::exception&) {
        return fallback;
    }
}

}  // namespace

void sleepHalfSecond() {
    timespec left{0, 500'000'000};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::optional<std::int64_t> watchLastSample(double seconds) {
    // -0 counts as zero.
    const double doubled = seconds * 2;
    if (std::isnan(doubled) || seconds < 0 || doubled >= 9223372036854775808.0) return std::nullopt;
    return static_cast<std::int64_t>(doubled);
}

int cmdInfo(FanController& ctl, Output& out) {
    out.print(texts::kInfoFanCount + str(ctl.numberOfFans()));
    for (const FanInfo& fan : ctl.allFans()) {
        const std::string index = str(fan.index);
        // The name comes from the SMC: its control characters are escaped as in the daemon's
        // log, so that it cannot drive the terminal (JSON output escapes them itself).
        out.print(texts::kInfoFanHeader + index + ": " + logText(fan.name, fan.name.size()));
        out.print(texts::kInfoCurrent + intText(fan.currentRPM) + texts::kInfoAcType +
                  fan.acDataType + ")");
        out.print(texts::kInfoMinMax + intText(fan.minRPM) + " / " + intText(fan.maxRPM));
        out.print(fan.safeRPM ? texts::kInfoSafe + intText(*fan.safeRPM) : texts::kInfoSafeAbsent);
        if (fan.hasMd) {
            const std::uint8_t md = fan.mdValue.value_or(0);
            out.print("    F" + index + texts::kInfoMdPresent + hex(md) + " (" +
                      ((md & 1) ? texts::kInfoModeForced : texts::kInfoModeAuto) +
                      texts::kInfoMdNewPath);
        } else {
            out.print("    F" + index + texts::kInfoMdAbsent);
        }
        if (!fan.originalMnBytes) {
            out.print(texts::kInfoMnBytesAbsent);
        } else {
            std::string line = texts::kInfoMnBytes;
            bool first = true;
            for (std::uint8_t b : *fan.originalMnBytes) {
                if (!first) line += ' ';
                line += format("0x%02x", static_cast<unsigned>(b));
                first = false;
            }
            out.print(line);
        }
    }
    const auto [exists, flag] = ctl.forceFlag();
    if (exists && flag) {
        out.print(texts::kInfoForceFlag + hex(*flag) + " (" +
                  ((*flag & 1) ? texts::kInfoForced : texts::kInfoAuto) + ")");
    } else {
        out.print(texts::kInfoForceFlagAbsent);
    }
    const auto cpu = ctl.cpuTemperature();
    out.print(cpu ? format(texts::kInfoCPUFormat, *cpu) : texts::kInfoCPUAbsent);
    const auto gpu = ctl.gpuTemperature();
    out.print(gpu ? format(texts::kInfoGPUFormat, *gpu) : texts::kInfoGPUAbsent);
#ifdef __APPLE__
    out.print(texts::kInfoBackendIOKit);
#else
    const IOEmuBackend backend = IOEmuCurrentBackend();
    out.print((backend.kind == IOEmuBackend::Kind::driver ? texts::kInfoBackendDriver
                                                          : texts::kInfoBackendEmulator) +
              backend.address + ")");
#endif
    return 0;
}

int cmdRpm(FanController& ctl, Output& out) {
    for (int i = 0; i < ctl.numberOfFans(); ++i) {
        double rpm;
        try {
            rpm = ctl.currentRPM(i);
        } catch (const std::exception&) {
            out.eprint(texts::kFan + str(i) + texts::kRpmReadFailed);
            return 1;
        }
        out.print(intText(rpm));
    }
    return 0;
}

int cmdSet(FanController& ctl, Output& out, std::int64_t fan, std::int64_t rpm) {
    if (fan < 0 || fan >= ctl.numberOfFans()) {
        out.eprint(texts::kSetIndexOutOfRange + str(fan) + texts::kSetIndexCountOpen +
                   str(ctl.numberOfFans()) + texts::kSetIndexCountClose);
        return 1;
    }
    const int f = static_cast<int>(fan);  // in range, so it fits
    const double before = readOr(-1, [&] { return ctl.currentRPM(f); });
    const double lo = readOr(0, [&] { return ctl.minRPM(f); });
    const double hi = readOr(0, [&] { return ctl.maxRPM(f); });
    out.print(texts::kFan + str(fan) + texts::kSetBefore + intText(before) + texts::kSetLimitsMin +
              intText(lo) + texts::kSetLimitsMax + intText(hi) + "]");

    std::int64_t written;
    try {
        DeferredStopSignals whole;
        written = ctl.setFanRPM(f, rpm);
    } catch (const SMCError& e) {
        out.eprint(texts::kSetWriteFailed + e.description());
        out.eprint(texts::kSetDiagnosis + e.description());
        return 1;
    } catch (const std::exception& e) {
        out.eprint(texts::kSetWriteFailed + std::string(e.what()));
        return 1;
    }
    out.print(texts::kSetTarget + str(rpm) + texts::kSetClamped + str(written));
    try {
        const double after = ctl.currentRPM(f);
        out.print(texts::kSetReadBack + intText(after) + texts::kSetReadBackNote);
    } catch (const std::exception&) {
        // An unreadable speed after the write is shown as nothing.
    }
    if (const auto md = ctl.modeValue(f))
        out.print("F" + str(fan) + texts::kSetMdReadBack + hex(*md));
    return 0;
}

int cmdAuto(FanController& ctl, Output& out) {
    // Every fan that can be handed back is tried, whatever happened to the others; a fan
    // that cannot be forced at all is skipped and is no failure.
    FanController::RestoreReport report;
    try {
        DeferredStopSignals whole;
        report = ctl.restoreEveryFan();
    } catch (const std::exception& e) {
        out.eprint(texts::kAutoFailed + std::string(e.what()));
        return 1;
    }
    for (const FanController::RestoreFailure& f : report.failed)
        out.eprint(texts::kAutoFailed + f.error.description());
    for (const int fan : report.skipped)
        out.print(texts::kFan + str(fan) + texts::kAutoSkippedTail);
    out.print(texts::kAutoDone + str(static_cast<std::int64_t>(report.restored.size())) +
              texts::kAutoDoneTail);
    for (int i = 0; i < ctl.numberOfFans(); ++i) {
        const std::string index = str(i);
        if (const auto md = ctl.modeValue(i)) {
            out.print(texts::kFan + index + " F" + index + texts::kAutoMdReadBack + hex(*md) +
                      " (" + ((*md & 1) ? texts::kAutoStillForced : texts::kAutoOK) + ")");
        }
        try {
            const double rpm = ctl.currentRPM(i);
            out.print(texts::kFan + index + texts::kAutoCurrent + intText(rpm));
        } catch (const std::exception&) {
            // An unreadable speed is shown as nothing.
        }
    }
    return report.failed.empty() ? 0 : 1;
}

int cmdWatch(FanController& ctl, Output& out, double seconds) {
    // A duration out of range (including infinity) is a bad argument: the watch usage and
    // status 1, with nothing on standard output.
    const auto lastSample = watchLastSample(seconds);
    if (!lastSample) {
        out.eprintRaw(texts::kUsageWatch);
        return 1;
    }
    const std::int64_t last = *lastSample;

    std::string header = texts::kWatchTime;
    for (const FanInfo& fan : ctl.allFans()) {
        header += format(texts::kWatchFanFormat, fan.index,
                         (intText(fan.minRPM) + "-" + intText(fan.maxRPM)).c_str());
    }
    header += texts::kWatchTemps;
    out.print(header);

    for (std::int64_t e = 0;; ++e) {
        std::string row = format(texts::kWatchTimeFormat, static_cast<double>(e) * 0.5);
        for (int i = 0; i < ctl.numberOfFans(); ++i) {
            const double rpm = readOr(-1, [&] { return ctl.currentRPM(i); });
            row += format(texts::kWatchRPMFormat, static_cast<long long>(integerOf(rpm)));
        }
        const double cpu = ctl.cpuTemperature().value_or(-1);
        const double gpu = ctl.gpuTemperature().value_or(-1);
        row += format(texts::kWatchTempFormat, cpu, gpu);
        out.print(row);
        // A stream that no longer takes output ends the watch rather than sampling for
        // nobody until the duration is over.
        if (!out.flushStdout()) return 1;
        if (e >= last) break;
        sleepHalfSecond();
    }
    return 0;
}

int cmdSensors(FanController& ctl, Output& out) {
    SensorReadings readings;
    try {
        readings = ctl.temperatureSensors();
    } catch (const SMCError& e) {
        out.eprint(texts::kSensorsIndexFailed + e.description());
        return 1;
    }
    for (const TemperatureSensor& sensor : readings.sensors) {
        std::string line = format(texts::kSensorFormat, sensor.key.c_str(), sensor.celsius);
        if (!sensor.name.empty()) line += texts::kSensorNameSeparator + sensor.name;
        out.print(line);
    }
    out.print(texts::kSensorsLeftOut + str(readings.leftOut) + texts::kSensorsLeftOutTail);
    return 0;
}

}  // namespace orvtool
