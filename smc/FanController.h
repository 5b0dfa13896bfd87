// The fan-level view of the SMC: discovery, readings, and the writes that force a
// fan or hand it back to automatic control. Used from one thread at a time. The key names
// (FanKeys.h), the fan names (FanName.h) and the original minimums a hand-back writes
// (OriginalMinimums.h) are files of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FanKeys.h"
#include "FanName.h"
#include "MinimumRecord.h"
#include "OriginalMinimums.h"
#include "SMCConnection.h"
#include "TemperatureSensors.h"

// Everything known about one fan, for detailed listings. originalMnBytes are the fan's
// original minimum bytes: from the boot's record when there is one, else as read at start.
struct FanInfo {
    int index = 0;
    std::string name;
    double currentRPM = 0;
    double minRPM = 0;
    double maxRPM = 0;
    std::optional<double> safeRPM;
    bool hasMd = false;
    std::optional<std::uint8_t> mdValue;
    std::string acDataType;
    std::optional<double> targetRPM;
    std::optional<SMCBytes> originalMnBytes;
};

// The few values refreshed periodically for each fan.
struct FanLiveInfo {
    int index = 0;
    std::string name;
    double currentRPM = 0;
    double minRPM = 0;
    double maxRPM = 0;
    // Mode-key fans: bit 0 of the mode byte. Others: the minimum differs from the original
    // (see isForced).
    bool forced = false;
    // The target key's reading; for a fan forced through its minimum, that minimum.
    std::optional<double> targetRPM;
};

// One fan's readings for a report, each taken from the SMC now except the limits (as found
// at start). A reading is none when it could not be had; its flag in `failed` says whether
// that was a failure (a call that failed, bytes that are no value of the key's type) rather
// than a key the machine does not have.
struct FanReadout {
    std::optional<double> current, target, minimum, maximum;
    std::optional<bool> forced;
    struct Failed {
        bool current = false, target = false, minimum = false, maximum = false, forced = false;
    } failed;
};

class FanController {
  public:
    struct Options {
        // Where the boot's record of original minimums lives; empty: the default path.
        std::string recordPath;
        // Whether this process writes the record when no valid one exists (the programs
        // that write to the SMC); otherwise the record is only read.
        bool keepRecord = false;
    };

    // What restoreEveryFan did with each fan.
    struct RestoreFailure {
        int fan;
        SMCError error;
    };
    struct RestoreReport {
        std::vector<int> restored;
        std::vector<int> skipped;  // fans that cannot be forced at all
        std::vector<RestoreFailure> failed;
    };

    // Opens the SMC and captures the fan count, limits, names and minimum-speed bytes; the
    // original minimums come from the boot's record when a valid one exists.
    FanController();
    explicit FanController(const Options& options);

    int numberOfFans() const { return fanCount; }

    // The per-fan key names (FanKeys.h).
    static std::string acKey(int fan) { return FanKeys::acKey(fan); }
    static std::string mnKey(int fan) { return FanKeys::mnKey(fan); }
    static std::string mxKey(int fan) { return FanKeys::mxKey(fan); }
    static std::string idKey(int fan) { return FanKeys::idKey(fan); }
    static std::string sfKey(int fan) { return FanKeys::sfKey(fan); }
    static std::string mdKey(int fan) { return FanKeys::mdKey(fan); }
    static std::string tgKey(int fan) { return FanKeys::tgKey(fan); }

    double currentRPM(int fan);
    double minRPM(int fan) const;
    double maxRPM(int fan) const;
    std::string fanName(int fan) const;
    bool hasModeKey(int fan);
    std::optional<std::uint8_t> modeValue(int fan);
    std::optional<double> targetRPM(int fan);

    std::vector<FanInfo> allFans();
    std::vector<FanLiveInfo> liveFans();
    // The fan's readings (FanReadout): the target as liveFans gives it (for a fan forced
    // through its minimum, that minimum), forced as isForced tells it.
    FanReadout readout(int fan);
    std::optional<double> cpuTemperature();
    std::optional<double> gpuTemperature();
    // Every temperature sensor with a plausible reading, sorted by key, and how many were
    // left out. The sensors are found through the key index once per controller; raises
    // SMCError when the index cannot be read (and tries again on the next call).
    SensorReadings temperatureSensors();
    // The temperature keys of the index (found once per controller, as temperatureSensors
    // does; raises SMCError when the index cannot be read), and one of them read alone:
    // none when it is not among them, cannot be read or is no plausible reading.
    const std::vector<SensorKey>& temperatureKeys();
    std::optional<double> sensorTemperature(const std::string& key);
    // (exists, value) of the global force flag "FS! ".
    std::pair<bool, std::optional<std::uint8_t>> forceFlag();

    // Why the record at the record path was not used; none or missing need no warning.
    RecordProblem recordProblem() const { return originals.recordProblem(); }
    // The errno of a failed attempt to write the record; 0 when none failed.
    int recordWriteError() const { return originals.recordWriteError(); }
    // The fan's original minimum bytes; none when never captured.
    std::optional<SMCBytes> originalMinimum(int fan) const { return originals.of(fan); }

    // Whether the fan is forced now. Mode-key fans: bit 0 of the mode byte. Others: the
    // current minimum is neither the original bytes nor the original's whole rpm (what a
    // hand-back leaves where the SMC is reached through a driver that writes whole rpm).
    // False when anything is missing.
    bool isForced(int fan) noexcept;

    // Clamps rpm to the fan's limits, forces the fan at that speed and returns it. A fan
    // forced through its minimum never gets less than its original minimum, and one whose
    // original minimum is unknown is not forced (minimumUnknown).
    std::int64_t setFanRPM(int fan, std::int64_t rpm);
    // Hands one fan back to automatic control.
    void restoreAuto(int fan);

    // How the SMC holds a fan forced at `rpm` (what setFanRPM returned): held (forced, its
    // target or raised minimum within 1 rpm of it), automatic (not forced), or forced at
    // another speed. Mode-key fans read the mode byte and the target, others the minimum;
    // a failed read raises SMCError. A forced fan whose target cannot be read counts as
    // held.
    enum class Hold { held, automatic, otherSpeed };
    Hold holds(int fan, std::int64_t rpm);
    // Whether the fan reads automatic (after a hand-back); a failed read raises.
    bool readsAutomatic(int fan);
    // Opens the SMC anew (the driver's files may have moved across a sleep); raises as the
    // constructor does, keeping the old connection.
    void reconnect();
    // Hands back every fan that can be forced, in index order, going on past failures.
    // Fans without a mode key and without a known original minimum cannot be forced and
    // are skipped; the fans in `leave` are not touched. Raises only for errors other than
    // the SMC's.
    RestoreReport restoreEveryFan(const std::vector<int>& leave = {});
    // restoreEveryFan, then raises when a fan failed: that fan's own error when it is the
    // only one, else restoreFailed naming every failed fan.
    void restoreAllAuto();

  private:
    // A number read from the SMC: none with failed false when the machine has no such key.
    struct Reading {
        std::optional<double> value;
        bool failed = false;
    };
    std::string smcName(int fan) { return readFanName(smc, fan); }
    std::optional<std::pair<double, std::string>> readValue(const std::string& key);
    Reading readNumber(const std::string& key);
    std::optional<double> readTemperature(const std::string& key);
    std::string reportedType(const std::string& key);
    // The mode key's bytes for the writes: none when the SMC has no such key; a failed
    // call raises.
    std::optional<SMCBytes> modeKeyBytes(int fan);
    SMCBytes encodeFor(const std::string& key, std::int64_t target);
    bool inRange(int fan) const { return fan >= 0 && fan < fanCount; }

    SMCConnection smc;
    int fanCount = 0;
    // The original minimum bytes (originalMnBytes), from the boot's record or read at start.
    OriginalMinimums originals;
    std::vector<double> minRPMArr;
    std::vector<double> maxRPMArr;
    // The limits as readings: what was found at start, and whether finding them failed.
    std::vector<Reading> minReadings_, maxReadings_;
    std::vector<std::string> nameArr;
    std::optional<std::vector<SensorKey>> sensorKeys_;
};
