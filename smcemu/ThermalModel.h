// The physics behind the computed keys: fans that follow their goal speed with a first-order
// lag, and a CPU temperature that a load level heats and the fans' airflow cools.
//
// Fan goal: a forced fan (bit 0 of its mode key set, or its bit in the force-flag word "FS! "
// set) runs at its target key clamped to the current limits. Otherwise automatic control
// steers it along the curve  base + (max - base) * clamp((T - auto_low) / (auto_high -
// auto_low), 0, 1), base being the minimum the fan had at start, and keeps the result within
// the current minimum and maximum, so a raised minimum forces the fan up on machines without
// a mode key while a minimum raised to the speed the fan runs at leaves it there.
//
// As on the real SMC, the target key of a fan under automatic control shows the speed the
// controller steers to: it is published with the computed keys, and a value written to it
// only stands while the fan is forced.
//
// CPU temperature relaxes towards
//   ambient + (idle_heat + load * heat) / (1 + cooling * airflow),
// airflow being the mean fan speed divided by airflow_rpm.
//
// Asleep the machine makes no heat at all, so the CPU relaxes towards the room's temperature;
// fans under automatic control stop, a forced fan keeps running at its target.
//
// A pinned temperature holds still until it is let go: the CPU pinned, the model keeps its
// temperature at the value (the TC* keys show it, the others and automatic control follow
// it as ever); a single sensor key pinned shows the value while the model goes on beneath.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KeyStore.h"
#include "Profile.h"

namespace smcemu {

struct ModelParams {
    double ambient = 25;          // degrees C: room temperature, also the TA* keys
    double load = 0.1;            // initial load level, 0..1
    double idleHeat = 20;         // degrees C of rise at load 0 without airflow
    double heat = 115;            // further degrees C of rise at load 1 without airflow
    double cooling = 1.0;         // how strongly one unit of airflow divides the rise
    double airflowRpm = 5000;     // fan speed that counts as one unit of airflow
    double thermalTau = 8;        // seconds: time constant of the CPU temperature
    double fanTau = 1;            // seconds: time constant of the fan speed
    double autoLow = 55;          // degrees C: automatic control leaves the minimum above this
    double autoHigh = 90;         // degrees C: automatic control reaches the maximum here
    double gpuRatio = 0.8;        // TG* keys: ambient + gpu_ratio * (cpu - ambient)
    double chassisRatio = 0.3;    // other T* keys: ambient + chassis_ratio * (cpu - ambient)
    double defaultFanMin = 1000;  // rpm limits for a fan whose limit keys are missing
    double defaultFanMax = 5000;
};

// Reads the @ parameters of a profile over the defaults. Throws ProfileError (with the line)
// for an unknown name or a value out of range.
ModelParams modelParams(const Profile& profile);

// The names of all @ parameters with their meaning, for documentation and usage text.
std::string modelParameterHelp();

class ThermalModel {
  public:
    // Finds the fans (FNum and the F{i}Ac keys), settles the model into its steady state for
    // the initial load and publishes the computed keys.
    ThermalModel(const ModelParams& params, KeyStore& keys);

    // Moves the model `seconds` forward and publishes the computed keys.
    void advance(double seconds);
    // The same for `seconds` the machine spends asleep; the load level stays as it was set
    // and applies again from the wake on.
    void sleep(double seconds);

    void setLoad(double load) { load_ = load; }
    // Holds the CPU temperature at `celsius`; nothing lets it go, and the model continues
    // from the value.
    void pinCpu(std::optional<double> celsius);
    // Shows `celsius` in a temperature key the model computes instead of its own value;
    // nothing lets it go. False (and nothing changed) for a key the model does not compute.
    bool pinKey(const std::string& name, std::optional<double> celsius);
    double load() const { return load_; }
    double cpuTemperature() const { return cpu_; }
    double gpuTemperature() const;

    struct FanView {
        int index;
        double rpm;
        double goal;
        bool manual;
    };
    std::vector<FanView> fans() const;

    // Takes over a value stored directly into a computed key (actual fan speed, CPU
    // temperature), so the model continues from it.
    void adoptKey(std::string_view name);

    // Keys the model computes: F{i}Ac and every key starting with T, except sensor keys
    // whose profile value is a placeholder (no sensor behind), which keep it. The SMC does not
    // accept writes to them. (F{i}Tg is computed only while its fan is automatic, and takes
    // writes.)
    static bool isComputedKey(std::string_view name);

  private:
    struct Fan {
        int index;
        std::string ac, mn, mx, tg, md;
        double rpm = 0;
        double curveBase = 0;  // the minimum at start: where the automatic curve begins
    };
    struct Limits {
        double min, max, target, curveBase;
        bool manual;
    };
    enum class TempKind { Cpu, Gpu, Ambient, Chassis };

    Limits limits(const Fan& fan) const;
    // The force-flag word "FS! ": bit i forces fan i. 0 when the machine has none.
    unsigned forceBits() const;
    static double goal(const Limits& l, double fraction, bool asleep = false);
    double autoFraction(double cpu) const;
    double equilibrium(bool asleep) const;
    void integrate(double seconds, bool asleep = false);
    void publish();

    ModelParams p_;
    KeyStore& keys_;
    std::vector<Fan> fans_;
    std::vector<std::pair<std::string, TempKind>> temperatureKeys_;
    double load_;
    double cpu_;
    std::optional<double> pinnedCpu_;
    std::map<std::string, double> pinnedKeys_;
};

}  // namespace smcemu
