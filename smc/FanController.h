// The fan-level view of the SMC: discovery, readings, and the writes that force a
// fan or hand it back to automatic control. Used from one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "SMCConnection.h"

// Everything known about one fan, for detailed listings.
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
    bool forced = false;
    std::optional<double> targetRPM;
};

// The name a fan's description record (the bytes of F{i}Id) gives fan `fan`: a
// little-endian 32-bit length followed by that many UTF-8 bytes when the length is
// non-zero and fits; otherwise the whole record as UTF-8 with control and format
// characters trimmed from both ends (which may leave nothing). "Fan {fan}" when the
// record is shorter than 4 bytes or not valid UTF-8.
std::string fanNameFromRecord(const SMCBytes& record, int fan);

class FanController {
  public:
    // Opens the SMC and captures the fan count, limits, names and minimum-speed bytes.
    FanController();

    int numberOfFans() const { return fanCount; }

    static std::string acKey(int fan);
    static std::string mnKey(int fan);
    static std::string mxKey(int fan);
    static std::string idKey(int fan);
    static std::string sfKey(int fan);
    static std::string mdKey(int fan);
    static std::string tgKey(int fan);

    double currentRPM(int fan);
    double minRPM(int fan) const;
    double maxRPM(int fan) const;
    std::string fanName(int fan) const;
    bool hasModeKey(int fan);
    std::optional<std::uint8_t> modeValue(int fan);
    std::optional<double> targetRPM(int fan);

    std::vector<FanInfo> allFans();
    std::vector<FanLiveInfo> liveFans();
    std::optional<double> cpuTemperature();
    std::optional<double> gpuTemperature();
    // (exists, value) of the global force flag "FS! ".
    std::pair<bool, std::optional<std::uint8_t>> forceFlag();

    // Clamps rpm to the fan's limits, forces the fan at that speed and returns it.
    std::int64_t setFanRPM(int fan, std::int64_t rpm);
    // Hands one fan back to automatic control.
    void restoreAuto(int fan);
    // Hands every fan back in index order; the first failure stops and is raised.
    void restoreAllAuto();

  private:
    std::string smcName(int fan);
    std::optional<std::pair<double, std::string>> readValue(const std::string& key);
    std::optional<double> readTemperature(const std::string& key);
    std::string reportedType(const std::string& key);
    // The mode key's bytes for the writes: none when the SMC has no such key; a failed
    // call raises.
    std::optional<SMCBytes> modeKeyBytes(int fan);
    SMCBytes encodeFor(const std::string& key, std::int64_t target);
    bool inRange(int fan) const { return fan >= 0 && fan < fanCount; }

    SMCConnection smc;
    int fanCount = 0;
    std::vector<std::optional<SMCBytes>> originalMnBytes;
    std::vector<double> minRPMArr;
    std::vector<double> maxRPMArr;
    std::vector<std::string> nameArr;
};
