#include "KeeperFans.h"

#include <algorithm>
#include <cmath>

#include "Curves.h"

namespace orvtool {

std::optional<double> ControllerFans::hotter() {
    std::optional<double> hottest;
    // A reading that is no number is no reading.
    for (const std::optional<double> t : {ctl_.cpuTemperature(), ctl_.gpuTemperature()})
        if (t && std::isfinite(*t)) hottest = hottest ? std::max(*hottest, *t) : *t;
    return hottest;
}

std::optional<double> ControllerFans::temperature(const std::string& entry) {
    std::optional<double> t;
    if (entry == protocol::kCurveCpu) {
        t = ctl_.cpuTemperature();
    } else if (entry == protocol::kCurveGpu) {
        t = ctl_.gpuTemperature();
    } else {
        t = ctl_.sensorTemperature(entry);
    }
    if (t && !std::isfinite(*t)) return std::nullopt;
    return t;
}

bool ControllerFans::hasSensor(const std::string& key) {
    for (const SensorKey& sensor : ctl_.temperatureKeys())
        if (sensor.key == key) return true;
    return false;
}

}  // namespace orvtool
