#include "FanController.h"

#include <cmath>

#include "SMCCodec.h"
#include "Unicode.h"

namespace {

std::string fanKey(int fan, const char* suffix) {
    return "F" + std::to_string(fan) + suffix;
}

std::string fallbackName(int fan) {
    return "Fan " + std::to_string(fan);
}

constexpr const char* kCPUTemperatureKeys[] = {"TC0P", "TC0D", "TC0H", "TCAD",
                                               "TC0F", "TCAH", "TCBH"};

// Truncates toward zero, saturating at the ends of the 64-bit range.
std::int64_t truncateToInt64(double v) {
    constexpr double kTwo63 = 9223372036854775808.0;
    if (v >= kTwo63) return INT64_MAX;
    if (v < -kTwo63) return INT64_MIN;
    return static_cast<std::int64_t>(v);
}

}  // namespace

std::string FanController::acKey(int fan) {
    return fanKey(fan, "Ac");
}
std::string FanController::mnKey(int fan) {
    return fanKey(fan, "Mn");
}
std::string FanController::mxKey(int fan) {
    return fanKey(fan, "Mx");
}
std::string FanController::idKey(int fan) {
    return fanKey(fan, "Id");
}
std::string FanController::sfKey(int fan) {
    return fanKey(fan, "Sf");
}
std::string FanController::mdKey(int fan) {
    return fanKey(fan, "Md");
}
std::string FanController::tgKey(int fan) {
    return fanKey(fan, "Tg");
}

FanController::FanController() : FanController(Options{}) {}

FanController::FanController(const Options& options) {
    auto count = smc.tryReadBytes("FNum");
    auto decoded = count ? SMCCodec::decode(*count, "ui8 ") : std::nullopt;
    if (!decoded) throw SMCError::keyNotFound("FNum");
    fanCount = static_cast<int>(*decoded);

    originalMnBytes.assign(fanCount, std::nullopt);
    for (int i = 0; i < fanCount; ++i) {
        originalMnBytes[i] = smc.tryReadBytes(mnKey(i));
        if (originalMnBytes[i] && originalMnBytes[i]->empty()) originalMnBytes[i].reset();
    }
    loadOriginals(options);

    minRPMArr.assign(fanCount, 0);
    maxRPMArr.assign(fanCount, 0);
    nameArr.assign(fanCount, {});
    for (int i = 0; i < fanCount; ++i) {
        // The limit is the original minimum, also while an earlier process left it raised.
        std::optional<double> mn;
        if (originalMnBytes[i]) mn = decodeAs(mnKey(i), *originalMnBytes[i]);
        if (!mn) {
            if (auto read = readValue(mnKey(i))) mn = read->first;
        }
        if (mn) minRPMArr[i] = *mn;
        if (auto mx = readValue(mxKey(i))) maxRPMArr[i] = mx->first;
        nameArr[i] = smcName(i);
    }
}

// Takes the original minimums from the boot's record when it fits this machine; a fan the
// record lacks keeps what was read at start. The record is written when none fits, or
// when this process captured a minimum the record lacks.
void FanController::loadOriginals(const Options& options) {
    const std::string path =
        options.recordPath.empty() ? std::string(ORVANE_MINIMUM_RECORD_PATH) : options.recordPath;
    RecordRead read = readMinimumRecord(path);
    recordProblem_ = read.problem;
    if (read.record) {
        std::vector<std::optional<std::uint32_t>> sizes(fanCount);
        for (int i = 0; i < fanCount; ++i) {
            try {
                sizes[i] = smc.readKeyInfo(mnKey(i)).first;
            } catch (const SMCError&) {
                // A size that cannot be told accepts the recorded bytes.
            }
        }
        recordProblem_ = checkMinimumRecord(*read.record, fanCount, sizes);
        if (recordProblem_ != RecordProblem::none) read.record.reset();
    }

    bool captured = false;
    bool added = false;
    for (int i = 0; i < fanCount; ++i) {
        captured = captured || originalMnBytes[i].has_value();
        if (!read.record) continue;
        const auto& recorded = read.record->minimums[i];
        if (recorded && !recorded->empty()) {
            originalMnBytes[i] = recorded;
        } else if (originalMnBytes[i]) {
            added = true;
        }
    }
    if (options.keepRecord && captured && (!read.record || added))
        recordWriteError_ = writeMinimumRecord(path, MinimumRecord{originalMnBytes});
}

std::optional<SMCBytes> FanController::originalMinimum(int fan) const {
    return inRange(fan) ? originalMnBytes[fan] : std::nullopt;
}

const std::optional<SMCBytes>& FanController::known(int fan) const {
    static const std::optional<SMCBytes> none;
    return inRange(fan) ? originalMnBytes[fan] : none;
}

// The bytes decoded with the type the SMC reports for `key`; none when either fails.
std::optional<double> FanController::decodeAs(const std::string& key, const SMCBytes& bytes) {
    try {
        const auto info = smc.readKeyInfo(key);
        if (info.first == 0) return std::nullopt;
        return SMCCodec::decode(bytes, info.second);
    } catch (const SMCError&) {
        return std::nullopt;
    }
}

// A driver that takes speeds in whole rpm (the Linux applesmc driver) hands a fractional
// original back as its whole part: that minimum is the original too, or the fan would count
// as forced for good. A minimum of any other value, fractional or not, is not.
bool FanController::isOriginalMinimum(int fan, const SMCBytes& mn) {
    const auto& orig = originalMnBytes[fan];
    if (!orig) return false;
    if (mn == *orig) return true;
    const auto original = decodeAs(mnKey(fan), *orig);
    const auto now = decodeAs(mnKey(fan), mn);
    return original && now && std::isfinite(*original) && *original >= 0 &&
           *now == std::trunc(*original);
}

std::optional<std::pair<double, std::string>> FanController::readValue(const std::string& key) {
    std::pair<std::uint32_t, std::string> info;
    try {
        info = smc.readKeyInfo(key);
    } catch (const SMCError&) {
        return std::nullopt;
    }
    if (info.first == 0) return std::nullopt;
    auto bytes = smc.tryReadBytes(key);
    if (!bytes) return std::nullopt;
    auto value = SMCCodec::decode(*bytes, info.second);
    if (!value) return std::nullopt;
    return std::make_pair(*value, info.second);
}

std::string fanNameFromRecord(const SMCBytes& b, int fan) {
    if (b.size() < 4) return fallbackName(fan);
    std::uint64_t n = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                      std::uint32_t(b[3]) << 24;
    if (n != 0 && b.size() >= n + 4) {
        std::string text(b.begin() + 4, b.begin() + 4 + static_cast<std::ptrdiff_t>(n));
        return unicode::isValidUTF8(text) ? text : fallbackName(fan);
    }

    auto decoded = unicode::decodeUTF8(std::string(b.begin(), b.end()));
    if (!decoded || decoded->empty()) return fallbackName(fan);
    auto trimmed = [](char32_t c) { return unicode::isControl(c) || unicode::isFormat(c); };
    std::u32string_view text = *decoded;
    while (!text.empty() && trimmed(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && trimmed(text.back()))
        text.remove_suffix(1);
    return unicode::encodeUTF8(text);
}

std::string FanController::smcName(int fan) {
    // Names live under F{i}Id; machines that spell the record F{i}ID are read the same way.
    auto bytes = smc.tryReadBytes(idKey(fan));
    if (!bytes) bytes = smc.tryReadBytes(fanKey(fan, "ID"));
    if (!bytes) return fallbackName(fan);
    return fanNameFromRecord(*bytes, fan);
}

double FanController::currentRPM(int fan) {
    auto value = readValue(acKey(fan));
    if (!value) throw SMCError::keyNotFound(acKey(fan));
    return value->first;
}

double FanController::minRPM(int fan) const {
    if (!inRange(fan)) throw SMCError::keyNotFound(mnKey(fan));
    return minRPMArr[fan];
}

double FanController::maxRPM(int fan) const {
    if (!inRange(fan)) throw SMCError::keyNotFound(mxKey(fan));
    return maxRPMArr[fan];
}

std::string FanController::fanName(int fan) const {
    return inRange(fan) ? nameArr[fan] : fallbackName(fan);
}

bool FanController::hasModeKey(int fan) {
    return smc.tryReadBytes(mdKey(fan)).has_value();
}

std::optional<std::uint8_t> FanController::modeValue(int fan) {
    auto bytes = smc.tryReadBytes(mdKey(fan));
    if (!bytes || bytes->empty()) return std::nullopt;
    return bytes->front();
}

std::optional<double> FanController::targetRPM(int fan) {
    auto value = readValue(tgKey(fan));
    if (!value) return std::nullopt;
    return value->first;
}

std::vector<FanInfo> FanController::allFans() {
    std::vector<FanInfo> fans;
    for (int i = 0; i < fanCount; ++i) {
        FanInfo info;
        info.index = i;
        auto ac = readValue(acKey(i));
        info.currentRPM = ac ? ac->first : 0;
        info.minRPM = minRPMArr[i];
        info.maxRPM = maxRPMArr[i];
        if (auto sf = smc.tryReadBytes(sfKey(i))) info.safeRPM = SMCCodec::decode(*sf, "ui16");
        auto md = smc.tryReadBytes(mdKey(i));
        info.hasMd = md.has_value();
        auto mv = modeValue(i);
        try {
            info.acDataType = smc.readKeyInfo(acKey(i)).second;
        } catch (const SMCError&) {
            info.acDataType = "?";
        }
        info.targetRPM = targetRPM(i);
        info.name = fanName(i);
        info.originalMnBytes = originalMnBytes[i];
        if (md) info.mdValue = mv.value_or(0);
        fans.push_back(std::move(info));
    }
    return fans;
}

std::vector<FanLiveInfo> FanController::liveFans() {
    std::vector<FanLiveInfo> fans;
    fans.reserve(fanCount);
    for (int i = 0; i < fanCount; ++i) {
        FanLiveInfo info;
        info.index = i;
        info.name = nameArr[i];
        auto ac = readValue(acKey(i));
        info.currentRPM = ac ? ac->first : 0;
        auto md = smc.tryReadBytes(mdKey(i));
        info.forced = md && !md->empty() && (md->front() & 1) == 1;
        info.targetRPM = targetRPM(i);
        // Without a mode key a raised minimum is the forcing, and its speed the target.
        if (!md && originalMnBytes[i]) {
            auto mn = smc.tryReadBytes(mnKey(i));
            if (mn && !isOriginalMinimum(i, *mn)) {
                info.forced = true;
                info.targetRPM = decodeAs(mnKey(i), *mn);
            }
        }
        info.minRPM = minRPMArr[i];
        info.maxRPM = maxRPMArr[i];
        fans.push_back(std::move(info));
    }
    return fans;
}

bool FanController::isForced(int fan) noexcept {
    try {
        if (!inRange(fan)) return false;
        if (auto md = smc.tryReadBytes(mdKey(fan))) return !md->empty() && (md->front() & 1) == 1;
        if (!originalMnBytes[fan]) return false;
        auto mn = smc.tryReadBytes(mnKey(fan));
        return mn && !isOriginalMinimum(fan, *mn);
    } catch (...) {
        return false;
    }
}

std::optional<double> FanController::readTemperature(const std::string& key) {
    auto bytes = smc.tryReadBytes(key);
    return bytes ? SMCCodec::decode(*bytes, "sp78") : std::nullopt;
}

std::optional<double> FanController::cpuTemperature() {
    for (const char* key : kCPUTemperatureKeys) {
        if (auto t = readTemperature(key)) return t;
    }
    return std::nullopt;
}

std::optional<double> FanController::gpuTemperature() {
    return readTemperature("TG0P");
}

SensorReadings FanController::temperatureSensors() {
    if (!sensorKeys_) sensorKeys_ = findTemperatureKeys(smc);
    return readTemperatures(smc, *sensorKeys_);
}

std::pair<bool, std::optional<std::uint8_t>> FanController::forceFlag() {
    auto bytes = smc.tryReadBytes("FS! ");
    if (!bytes) return {false, std::nullopt};
    if (bytes->empty()) return {true, std::nullopt};
    return {true, bytes->front()};
}

std::string FanController::reportedType(const std::string& key) {
    try {
        return smc.readKeyInfo(key).second;
    } catch (const SMCError&) {
        return "?";
    }
}

SMCBytes FanController::encodeFor(const std::string& key, std::int64_t target) {
    const std::string type = smc.readKeyInfo(key).second;
    if (type == "fpe2") return SMCCodec::encodeFPE2(target);
    return SMCCodec::encodeFLT(static_cast<float>(target));
}

std::optional<SMCBytes> FanController::modeKeyBytes(int fan) {
    // An index without a valid key (10 and up, negative) simply has no mode key.
    if (!SMCConnection::keyCode(mdKey(fan))) return std::nullopt;
    return smc.readBytes(mdKey(fan));
}

std::int64_t FanController::setFanRPM(int fan, std::int64_t rpm) {
    if (!inRange(fan)) throw SMCError::keyNotFound(mnKey(fan));
    const double lo = minRPMArr[fan];
    const double hi = maxRPMArr[fan];
    // A limit that decoded as NaN or infinity cannot bound the speed: write nothing.
    if (!std::isfinite(lo)) throw SMCError::badDataType(mnKey(fan), reportedType(mnKey(fan)));
    if (!std::isfinite(hi)) throw SMCError::badDataType(mxKey(fan), reportedType(mxKey(fan)));
    double v = static_cast<double>(rpm);
    if (v <= lo) v = lo;
    if (hi < v) v = hi;
    const std::int64_t target = truncateToInt64(v);

    // A mode key that cannot be read raises: taking it for absent would force the fan by
    // raising its minimum, which the mode-key restore never puts back.
    if (modeKeyBytes(fan)) {
        smc.writeBytes(mdKey(fan), {0x01});
        smc.writeBytes(tgKey(fan), encodeFor(tgKey(fan), target));
        return target;
    }
    // A minimum that nothing could put back is never raised.
    const auto& orig = originalMnBytes[fan];
    if (!orig) {
        if (smc.readKeyInfo(mnKey(fan)).first == 0) throw SMCError::keyNotFound(mnKey(fan));
        throw SMCError::minimumUnknown(mnKey(fan));
    }
    // Nor is it ever set below the original: a target under it (the maximum winning over
    // the minimum, or a fractional minimum truncated) writes the original bytes themselves.
    if (static_cast<double>(target) < lo) {
        smc.writeBytes(mnKey(fan), *orig);
        return truncateToInt64(lo);
    }
    smc.writeBytes(mnKey(fan), encodeFor(mnKey(fan), target));
    return target;
}

void FanController::restoreAuto(int fan) {
    // As in setFanRPM: only a mode key the SMC reports absent selects the minimum path, so
    // a failed read cannot answer success while the mode byte stays set.
    if (modeKeyBytes(fan)) {
        smc.writeBytes(mdKey(fan), {0x00});
        return;
    }
    if (!inRange(fan)) throw SMCError::keyNotFound(mnKey(fan));
    const auto& orig = originalMnBytes[fan];
    if (!orig || orig->empty()) throw SMCError::keyNotFound(mnKey(fan) + "(原始值未记录)");
    smc.writeBytes(mnKey(fan), *orig);
}

FanController::RestoreReport FanController::restoreEveryFan() {
    RestoreReport report;
    for (int i = 0; i < fanCount; ++i) {
        try {
            // Without a mode key and a known original minimum, nothing can have forced the
            // fan through this controller, and nothing could hand it back.
            if (!originalMnBytes[i] && !modeKeyBytes(i)) {
                report.skipped.push_back(i);
                continue;
            }
            restoreAuto(i);
            report.restored.push_back(i);
        } catch (const SMCError& e) {
            report.failed.push_back({i, e});
        }
    }
    return report;
}

void FanController::restoreAllAuto() {
    const RestoreReport report = restoreEveryFan();
    if (report.failed.empty()) return;
    if (report.failed.size() == 1) throw report.failed.front().error;
    std::vector<std::pair<int, std::string>> failures;
    for (const RestoreFailure& f : report.failed)
        failures.emplace_back(f.fan, f.error.description());
    throw SMCError::restoreFailed(failures);
}
