#include "FanController.h"

#include <algorithm>
#include <cmath>

#include "SMCCodec.h"

namespace {

// Truncates toward zero, saturating at the ends of the 64-bit range.
std::int64_t truncateToInt64(double v) {
    constexpr double kTwo63 = 9223372036854775808.0;
    if (v >= kTwo63) return INT64_MAX;
    if (v < -kTwo63) return INT64_MIN;
    return static_cast<std::int64_t>(v);
}

}  // namespace

FanController::FanController() : FanController(Options{}) {}

FanController::FanController(const Options& options) {
    auto count = smc.tryReadBytes(FanKeys::kFanCount);
    auto decoded = count ? SMCCodec::decode(*count, "ui8 ") : std::nullopt;
    if (!decoded) throw SMCError::keyNotFound(FanKeys::kFanCount);
    fanCount = static_cast<int>(*decoded);

    originals = OriginalMinimums(smc, fanCount, options.recordPath, options.keepRecord);

    minRPMArr.assign(fanCount, 0);
    maxRPMArr.assign(fanCount, 0);
    minReadings_.assign(fanCount, {});
    maxReadings_.assign(fanCount, {});
    nameArr.assign(fanCount, {});
    for (int i = 0; i < fanCount; ++i) {
        // The limit is the original minimum, also while an earlier process left it raised.
        Reading mn;
        if (const auto& orig = originals.of(i)) mn.value = decodeAsReported(smc, mnKey(i), *orig);
        if (!mn.value) mn = readNumber(mnKey(i));
        minReadings_[i] = mn;
        maxReadings_[i] = readNumber(mxKey(i));
        minRPMArr[i] = mn.value.value_or(0);
        maxRPMArr[i] = maxReadings_[i].value.value_or(0);
        nameArr[i] = smcName(i);
    }
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

FanController::Reading FanController::readNumber(const std::string& key) {
    Reading reading;
    try {
        const auto [size, type] = smc.readKeyInfo(key);
        if (size == 0) return reading;
        const auto bytes = smc.readBytes(key);
        reading.value = bytes ? SMCCodec::decode(*bytes, type) : std::nullopt;
    } catch (const SMCError&) {
    }
    reading.failed = !reading.value;
    return reading;
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
    return inRange(fan) ? nameArr[fan] : fallbackFanName(fan);
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
        info.originalMnBytes = originals.of(i);
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
        if (!md && originals.of(i)) {
            auto mn = smc.tryReadBytes(mnKey(i));
            if (mn && !originals.isOriginal(smc, i, *mn)) {
                info.forced = true;
                info.targetRPM = decodeAsReported(smc, mnKey(i), *mn);
            }
        }
        info.minRPM = minRPMArr[i];
        info.maxRPM = maxRPMArr[i];
        fans.push_back(std::move(info));
    }
    return fans;
}

FanReadout FanController::readout(int fan) {
    FanReadout out;
    if (!inRange(fan)) return out;
    const auto take = [](const Reading& r, std::optional<double>& value, bool& failed) {
        value = r.value;
        failed = r.failed;
    };
    take(readNumber(acKey(fan)), out.current, out.failed.current);
    take(minReadings_[fan], out.minimum, out.failed.minimum);
    take(maxReadings_[fan], out.maximum, out.failed.maximum);
    take(readNumber(tgKey(fan)), out.target, out.failed.target);
    try {
        if (const auto md = modeKeyBytes(fan)) {
            out.forced = !md->empty() && (md->front() & 1) == 1;
            return out;
        }
        // Without a mode key a fan is forced only by a raised minimum, which is then its
        // target; one whose original minimum is unknown was never forced here.
        if (!originals.of(fan)) {
            out.forced = false;
            return out;
        }
        const auto mn = smc.readBytes(mnKey(fan));
        out.forced = mn && !originals.isOriginal(smc, fan, *mn);
        if (*out.forced) {
            out.target = decodeAsReported(smc, mnKey(fan), *mn);
            out.failed.target = !out.target;
        }
    } catch (const SMCError&) {
        out.failed.forced = true;
    }
    return out;
}

bool FanController::isForced(int fan) noexcept {
    try {
        if (!inRange(fan)) return false;
        if (auto md = smc.tryReadBytes(mdKey(fan))) return !md->empty() && (md->front() & 1) == 1;
        if (!originals.of(fan)) return false;
        auto mn = smc.tryReadBytes(mnKey(fan));
        return mn && !originals.isOriginal(smc, fan, *mn);
    } catch (...) {
        return false;
    }
}

std::optional<double> FanController::readTemperature(const std::string& key) {
    auto bytes = smc.tryReadBytes(key);
    return bytes ? SMCCodec::decode(*bytes, "sp78") : std::nullopt;
}

std::optional<double> FanController::cpuTemperature() {
    for (const char* key : FanKeys::kCPUTemperature) {
        if (auto t = readTemperature(key)) return t;
    }
    return std::nullopt;
}

std::optional<double> FanController::gpuTemperature() {
    return readTemperature(FanKeys::kGPUTemperature);
}

SensorReadings FanController::temperatureSensors() {
    return readTemperatures(smc, temperatureKeys());
}

const std::vector<SensorKey>& FanController::temperatureKeys() {
    if (!sensorKeys_) sensorKeys_ = findTemperatureKeys(smc);
    return *sensorKeys_;
}

std::optional<double> FanController::sensorTemperature(const std::string& key) {
    for (const SensorKey& sensor : temperatureKeys()) {
        if (sensor.key != key) continue;
        const SensorReadings reading = readTemperatures(smc, {sensor});
        if (reading.sensors.empty()) return std::nullopt;
        return reading.sensors.front().celsius;
    }
    return std::nullopt;
}

std::pair<bool, std::optional<std::uint8_t>> FanController::forceFlag() {
    auto bytes = smc.tryReadBytes(FanKeys::kForceFlag);
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
    const auto& orig = originals.of(fan);
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
    const auto& orig = originals.of(fan);
    if (!orig || orig->empty()) throw SMCError::keyNotFound(mnKey(fan) + "(原始值未记录)");
    smc.writeBytes(mnKey(fan), *orig);
}

FanController::Hold FanController::holds(int fan, std::int64_t rpm) {
    if (!inRange(fan)) throw SMCError::keyNotFound(mnKey(fan));
    const auto near = [rpm](double value) {
        return std::fabs(value - static_cast<double>(rpm)) < 1;
    };
    if (const auto md = modeKeyBytes(fan)) {
        if (md->empty() || (md->front() & 1) == 0) return Hold::automatic;
        const auto target = smc.readBytes(tgKey(fan));
        const auto value = target ? decodeAsReported(smc, tgKey(fan), *target) : std::nullopt;
        return !value || near(*value) ? Hold::held : Hold::otherSpeed;
    }
    if (!originals.of(fan)) return Hold::automatic;
    const auto mn = smc.readBytes(mnKey(fan));
    if (!mn) return Hold::automatic;
    // A speed at or under the original minimum is held by the original bytes themselves
    // (setFanRPM writes them for it).
    if (originals.isOriginal(smc, fan, *mn))
        return static_cast<double>(rpm) <= minRPMArr[fan] ? Hold::held : Hold::automatic;
    const auto value = decodeAsReported(smc, mnKey(fan), *mn);
    return value && near(*value) ? Hold::held : Hold::otherSpeed;
}

bool FanController::readsAutomatic(int fan) {
    if (!inRange(fan)) throw SMCError::keyNotFound(mnKey(fan));
    if (const auto md = modeKeyBytes(fan)) return md->empty() || (md->front() & 1) == 0;
    if (!originals.of(fan)) return true;
    const auto mn = smc.readBytes(mnKey(fan));
    return !mn || originals.isOriginal(smc, fan, *mn);
}

void FanController::reconnect() {
    smc.reopen();
    sensorKeys_.reset();
}

FanController::RestoreReport FanController::restoreEveryFan(const std::vector<int>& leave) {
    RestoreReport report;
    for (int i = 0; i < fanCount; ++i) {
        if (std::find(leave.begin(), leave.end(), i) != leave.end()) continue;
        try {
            // Without a mode key and a known original minimum, nothing can have forced the
            // fan through this controller, and nothing could hand it back.
            if (!originals.of(i) && !modeKeyBytes(i)) {
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
