#include "ThermalModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Codec.h"

namespace smcemu {
namespace {

struct ParamInfo {
    const char* name;
    double ModelParams::*field;
    double min, max;
    const char* meaning;
};

constexpr ParamInfo kParams[] = {
    {"ambient", &ModelParams::ambient, -40, 80, "room temperature in degrees C (TA* keys)"},
    {"load", &ModelParams::load, 0, 1, "initial load level"},
    {"idle_heat", &ModelParams::idleHeat, 0, 500, "degrees C of rise at load 0 without airflow"},
    {"heat", &ModelParams::heat, 0, 500, "further degrees C of rise at load 1 without airflow"},
    {"cooling", &ModelParams::cooling, 0, 100, "how much one unit of airflow divides the rise"},
    {"airflow_rpm", &ModelParams::airflowRpm, 1, 100000, "fan rpm counting as one unit of airflow"},
    {"thermal_tau", &ModelParams::thermalTau, 0.01, 3600, "seconds, time constant of the CPU"},
    {"fan_tau", &ModelParams::fanTau, 0.01, 3600, "seconds, time constant of the fans"},
    {"auto_low", &ModelParams::autoLow, -40, 200, "degrees C where automatic control leaves min"},
    {"auto_high", &ModelParams::autoHigh, -40, 200, "degrees C where automatic control hits max"},
    {"gpu_ratio", &ModelParams::gpuRatio, 0, 10, "TG* keys: ambient + ratio * (cpu - ambient)"},
    {"chassis_ratio", &ModelParams::chassisRatio, 0, 10,
     "other T* keys: ambient + ratio * (cpu - ambient)"},
    {"default_fan_min", &ModelParams::defaultFanMin, 0, 20000, "rpm min of a fan without F{i}Mn"},
    {"default_fan_max", &ModelParams::defaultFanMax, 0, 20000, "rpm max of a fan without F{i}Mx"},
};

// Physical ceiling for any fan goal, whatever a limit key was set to.
constexpr double kMaxRpm = 20000;
// Integration step, and how much of a long time jump is integrated at all (the model has
// long settled by then, so the rest would change nothing).
constexpr double kStep = 0.05;
constexpr double kMaxIntegrated = 3600;

std::string fanKey(int index, const char* suffix) {
    return "F" + std::to_string(index) + suffix;
}

// A sensor key the machine has but no sensor behind: its profile value is the placeholder
// such a key holds (all bits clear or set, the extremes of a signed fixed-point type) or a
// reading no running machine gives (at or below -40 or at or above 150 degrees C, not a
// number). The model leaves it as it is.
bool unpopulated(const Key& key) {
    const auto& b = key.bytes;
    if (b.empty()) return false;
    if (std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0x00; })) return true;
    if (std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0xFF; })) return true;
    if (key.type.substr(0, 2) == "sp" && b.size() >= 2) {
        const unsigned raw = unsigned(b[0]) << 8 | b[1];
        if (raw == 0x8000 || raw == 0x7FFF) return true;
    }
    // No sensor of a running machine reads -40 degrees C or less, or 150 or more.
    std::optional<double> v = codec::decode(b, key.type);
    return v && !(*v > -40 && *v < 150);
}

}  // namespace

ModelParams modelParams(const Profile& profile) {
    ModelParams params;
    for (const ProfileParameter& given : profile.parameters) {
        const ParamInfo* info = nullptr;
        for (const ParamInfo& s : kParams)
            if (given.name == s.name) info = &s;
        if (!info) throw profile.error(given.line, "unknown parameter @" + given.name);
        if (given.value < info->min || given.value > info->max) {
            char range[64];
            std::snprintf(range, sizeof range, " must lie in [%g, %g]", info->min, info->max);
            throw profile.error(given.line, "parameter @" + given.name + range);
        }
        params.*(info->field) = given.value;
    }
    if (params.autoHigh <= params.autoLow)
        throw profile.error(0, "@auto_high must be greater than @auto_low");
    if (params.defaultFanMax < params.defaultFanMin)
        throw profile.error(0, "@default_fan_max must not be below @default_fan_min");
    return params;
}

std::string modelParameterHelp() {
    std::string text;
    ModelParams defaults;
    for (const ParamInfo& s : kParams) {
        char line[160];
        std::snprintf(line, sizeof line, "  @%-16s %-8g %s\n", s.name, defaults.*(s.field),
                      s.meaning);
        text += line;
    }
    return text;
}

ThermalModel::ThermalModel(const ModelParams& params, KeyStore& keys)
    : p_(params), keys_(keys), load_(params.load), cpu_(params.ambient) {
    int count = 0;
    if (const Key* fnum = keys_.find("FNum"); fnum && !fnum->bytes.empty())
        count = static_cast<int>(keys_.number("FNum").value_or(fnum->bytes[0]));
    // Fan keys have four characters, so only fans 0 to 9 can exist.
    count = std::clamp(count, 0, 10);
    for (int i = 0; i < count; ++i) {
        Fan fan{
            i, fanKey(i, "Ac"), fanKey(i, "Mn"), fanKey(i, "Mx"), fanKey(i, "Tg"), fanKey(i, "Md")};
        if (keys_.has(fan.ac)) fans_.push_back(std::move(fan));
    }
    for (const Key& key : keys_.all()) {
        if (key.name[0] != 'T' || unpopulated(key)) continue;
        TempKind kind = key.name[1] == 'C'   ? TempKind::Cpu
                        : key.name[1] == 'G' ? TempKind::Gpu
                        : key.name[1] == 'A' ? TempKind::Ambient
                                             : TempKind::Chassis;
        temperatureKeys_.emplace_back(key.name, kind);
    }
    for (Fan& fan : fans_) {
        fan.curveBase = keys_.number(fan.mn).value_or(p_.defaultFanMin);
        fan.rpm = goal(limits(fan), 0);
    }
    integrate(kMaxIntegrated);
    publish();
}

bool ThermalModel::isComputedKey(std::string_view name) {
    if (name.size() != 4) return false;
    if (name[0] == 'T') return true;
    return name[0] == 'F' && name[1] >= '0' && name[1] <= '9' && name.substr(2) == "Ac";
}

unsigned ThermalModel::forceBits() const {
    std::optional<double> word = keys_.number("FS! ");
    if (!word || *word < 0 || *word > 65535) return 0;
    return static_cast<unsigned>(*word);
}

ThermalModel::Limits ThermalModel::limits(const Fan& fan) const {
    Limits l;
    l.min = keys_.number(fan.mn).value_or(p_.defaultFanMin);
    l.max = keys_.number(fan.mx).value_or(p_.defaultFanMax);
    l.curveBase = fan.curveBase;
    const Key* md = keys_.find(fan.md);
    std::optional<double> target = keys_.number(fan.tg);
    bool modeBit = md && !md->bytes.empty() && (md->bytes[0] & 1);
    bool forceBit = (forceBits() >> fan.index) & 1;
    l.manual = (modeBit || forceBit) && target;
    l.target = target.value_or(l.min);
    return l;
}

double ThermalModel::goal(const Limits& l, double fraction, bool asleep) {
    // Asleep, automatic control stops the fan.
    if (asleep && !l.manual) return 0;
    // Forced: the target; automatic: the curve. Either is kept within the current limits,
    // the maximum winning when they cross.
    double g;
    if (l.manual) {
        g = l.target;
    } else {
        double base = std::min(l.curveBase, l.max);
        g = base + (l.max - base) * fraction;
    }
    g = std::min(std::max(g, l.min), l.max);
    return std::clamp(g, 0.0, kMaxRpm);
}

double ThermalModel::autoFraction(double cpu) const {
    return std::clamp((cpu - p_.autoLow) / (p_.autoHigh - p_.autoLow), 0.0, 1.0);
}

double ThermalModel::equilibrium(bool asleep) const {
    if (asleep) return p_.ambient;
    double airflow = 0;
    if (!fans_.empty()) {
        for (const Fan& fan : fans_)
            airflow += fan.rpm;
        airflow /= static_cast<double>(fans_.size()) * p_.airflowRpm;
    }
    return p_.ambient + (p_.idleHeat + load_ * p_.heat) / (1 + p_.cooling * airflow);
}

void ThermalModel::integrate(double seconds, bool asleep) {
    seconds = std::min(seconds, kMaxIntegrated);
    if (!(seconds > 0)) return;
    // The limit keys do not change while time passes, so read them once.
    std::vector<Limits> fanLimits;
    fanLimits.reserve(fans_.size());
    for (const Fan& fan : fans_)
        fanLimits.push_back(limits(fan));

    auto steps = static_cast<long>(std::ceil(seconds / kStep));
    double h = seconds / static_cast<double>(steps);
    double fanBlend = 1 - std::exp(-h / p_.fanTau);
    double heatBlend = 1 - std::exp(-h / p_.thermalTau);
    for (long s = 0; s < steps; ++s) {
        double fraction = autoFraction(cpu_);
        for (size_t i = 0; i < fans_.size(); ++i)
            fans_[i].rpm += (goal(fanLimits[i], fraction, asleep) - fans_[i].rpm) * fanBlend;
        cpu_ = pinnedCpu_ ? *pinnedCpu_ : cpu_ + (equilibrium(asleep) - cpu_) * heatBlend;
    }
}

void ThermalModel::pinCpu(std::optional<double> celsius) {
    pinnedCpu_ = celsius;
    if (celsius) cpu_ = *celsius;
}

bool ThermalModel::pinKey(const std::string& name, std::optional<double> celsius) {
    const bool computed = std::any_of(temperatureKeys_.begin(), temperatureKeys_.end(),
                                      [&](const auto& key) { return key.first == name; });
    if (!computed) return false;
    if (celsius)
        pinnedKeys_[name] = *celsius;
    else
        pinnedKeys_.erase(name);
    return true;
}

void ThermalModel::advance(double seconds) {
    integrate(seconds);
    publish();
}

void ThermalModel::sleep(double seconds) {
    integrate(seconds, true);
    publish();
}

double ThermalModel::gpuTemperature() const {
    return p_.ambient + p_.gpuRatio * (cpu_ - p_.ambient);
}

void ThermalModel::publish() {
    double fraction = autoFraction(cpu_);
    for (const Fan& fan : fans_) {
        keys_.setNumber(fan.ac, fan.rpm);
        Limits l = limits(fan);
        if (!l.manual && keys_.has(fan.tg)) keys_.setNumber(fan.tg, goal(l, fraction));
    }
    for (const auto& [name, kind] : temperatureKeys_) {
        double t = cpu_;
        switch (kind) {
            case TempKind::Cpu:
                t = cpu_;
                break;
            case TempKind::Gpu:
                t = gpuTemperature();
                break;
            case TempKind::Ambient:
                t = p_.ambient;
                break;
            case TempKind::Chassis:
                t = p_.ambient + p_.chassisRatio * (cpu_ - p_.ambient);
                break;
        }
        if (auto pinned = pinnedKeys_.find(name); pinned != pinnedKeys_.end()) t = pinned->second;
        keys_.setNumber(name, t);
    }
}

std::vector<ThermalModel::FanView> ThermalModel::fans() const {
    std::vector<FanView> views;
    double fraction = autoFraction(cpu_);
    for (const Fan& fan : fans_) {
        Limits l = limits(fan);
        views.push_back({fan.index, fan.rpm, goal(l, fraction), l.manual});
    }
    return views;
}

void ThermalModel::adoptKey(std::string_view name) {
    std::optional<double> v = keys_.number(name);
    if (!v) return;
    for (Fan& fan : fans_)
        if (fan.ac == name) fan.rpm = std::clamp(*v, 0.0, kMaxRpm);
    if (name.size() == 4 && name[0] == 'T' && name[1] == 'C' && !pinnedCpu_)
        cpu_ = std::clamp(*v, -100.0, 200.0);
}

}  // namespace smcemu
