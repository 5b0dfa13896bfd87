#include "JsonOutput.h"

#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "Commands.h"
#include "FanController.h"
#include "Format.h"
#include "IOKit.h"
#include "Output.h"
#include "SMCError.h"
#include "Texts.h"

namespace orvtool {

namespace {

// Fields keep the documented order.
using Json = nlohmann::ordered_json;

// Speeds as the text output shows them: whole rpm.
Json rpm(std::optional<double> value) {
    return value ? Json(integerOf(*value)) : Json(nullptr);
}

Json number(std::optional<double> value) {
    return value ? Json(*value) : Json(nullptr);
}

// Names come from the SMC: bytes that are not UTF-8 are replaced rather than refused.
std::string dump(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json backend() {
#ifdef __APPLE__
    return {{"kind", "iokit"}, {"address", nullptr}};
#else
    const IOEmuBackend b = IOEmuCurrentBackend();
    return {{"kind", b.kind == IOEmuBackend::Kind::driver ? "driver" : "emulator"},
            {"address", b.address}};
#endif
}

// {KEY: {"name", "value"}} and the count left out; both null when the SMC's key index
// cannot be read, and then the reason is returned.
std::optional<std::string> putTemperatures(FanController& ctl, Json& object) {
    try {
        const SensorReadings readings = ctl.temperatureSensors();
        Json temperatures = Json::object();
        for (const TemperatureSensor& s : readings.sensors) {
            temperatures[s.key] = {{"name", s.name.empty() ? Json(nullptr) : Json(s.name)},
                                   {"value", s.celsius}};
        }
        object["temperatures"] = std::move(temperatures);
        object["left_out"] = readings.leftOut;
    } catch (const SMCError& e) {
        object["temperatures"] = nullptr;
        object["left_out"] = nullptr;
        return e.description();
    }
    return std::nullopt;
}

// How the fan is forced: through its mode key, through a raised minimum, or not at all.
Json forcingPath(const FanInfo& fan) {
    if (fan.hasMd) return "mode_key";
    if (fan.originalMnBytes) return "minimum";
    return nullptr;
}

}  // namespace

int cmdInfoJson(FanController& ctl, Output& out) {
    Json doc;
    doc["backend"] = backend();
    const std::vector<FanInfo> fans = ctl.allFans();
    const std::vector<FanLiveInfo> live = ctl.liveFans();
    Json list = Json::array();
    for (const FanInfo& fan : fans) {
        const FanLiveInfo* now = static_cast<std::size_t>(fan.index) < live.size()
                                     ? &live[static_cast<std::size_t>(fan.index)]
                                     : nullptr;
        list.push_back({{"index", fan.index},
                        {"name", fan.name},
                        {"current", rpm(fan.currentRPM)},
                        {"min", rpm(fan.minRPM)},
                        {"max", rpm(fan.maxRPM)},
                        {"safe", rpm(fan.safeRPM)},
                        {"target", rpm(now ? now->targetRPM : fan.targetRPM)},
                        {"forced", now ? Json(now->forced) : Json(nullptr)},
                        {"forcing_path", forcingPath(fan)}});
    }
    doc["fans"] = std::move(list);
    const auto [exists, flag] = ctl.forceFlag();
    doc["force_flag"] = exists && flag ? Json(*flag) : Json(nullptr);
    doc["cpu"] = number(ctl.cpuTemperature());
    doc["gpu"] = number(ctl.gpuTemperature());
    putTemperatures(ctl, doc);
    out.print(dump(doc));
    return 0;
}

int cmdRpmJson(FanController& ctl, Output& out) {
    Json doc;
    doc["backend"] = backend();
    Json list = Json::array();
    int status = 0;
    for (int i = 0; i < ctl.numberOfFans(); ++i) {
        std::optional<double> current;
        try {
            current = ctl.currentRPM(i);
        } catch (const std::exception&) {
            out.eprint(texts::kFan + std::to_string(i) + texts::kRpmReadFailed);
            status = 1;
        }
        list.push_back({{"index", i}, {"name", ctl.fanName(i)}, {"current", rpm(current)}});
    }
    doc["fans"] = std::move(list);
    out.print(dump(doc));
    return status;
}

int cmdSensorsJson(FanController& ctl, Output& out) {
    Json doc;
    doc["backend"] = backend();
    if (const auto failure = putTemperatures(ctl, doc)) {
        out.eprint(texts::kSensorsIndexFailed + *failure);
        return 1;
    }
    out.print(dump(doc));
    return 0;
}

int cmdWatchJson(FanController& ctl, Output& out, double seconds) {
    const auto last = watchLastSample(seconds);
    if (!last) {
        out.eprintRaw(texts::kUsageWatch);
        return 1;
    }
    for (std::int64_t e = 0;; ++e) {
        Json row;
        row["time"] = static_cast<double>(e) * 0.5;
        Json fans = Json::array();
        for (const FanLiveInfo& fan : ctl.liveFans()) {
            // liveFans gives 0 for a speed it could not read; the row says null instead.
            std::optional<double> current;
            try {
                current = ctl.currentRPM(fan.index);
            } catch (const std::exception&) {
            }
            fans.push_back({{"index", fan.index},
                            {"name", fan.name},
                            {"current", rpm(current)},
                            {"min", rpm(fan.minRPM)},
                            {"max", rpm(fan.maxRPM)},
                            {"target", rpm(fan.targetRPM)},
                            {"forced", fan.forced}});
        }
        row["fans"] = std::move(fans);
        row["cpu"] = number(ctl.cpuTemperature());
        row["gpu"] = number(ctl.gpuTemperature());
        putTemperatures(ctl, row);
        out.print(dump(row));
        if (!out.flushStdout()) return 1;
        if (e >= *last) break;
        sleepHalfSecond();
    }
    return 0;
}

}  // namespace orvtool
