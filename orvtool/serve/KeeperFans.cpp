#include "KeeperFans.h"

#include <algorithm>
#include <cmath>

namespace orvtool {

std::optional<double> ControllerFans::hotter() {
    std::optional<double> hottest;
    // A reading that is no number is no reading.
    for (const std::optional<double> t : {ctl_.cpuTemperature(), ctl_.gpuTemperature()})
        if (t && std::isfinite(*t)) hottest = hottest ? std::max(*hottest, *t) : *t;
    return hottest;
}

}  // namespace orvtool
