// The driver's temperature sensors by key: temp{N}_label names the SMC key of sensor N, whose
// value temp{N}_input shows. The labels are read once.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "DriverFiles.h"

namespace applesmc {

class TemperatureLabels {
  public:
    explicit TemperatureLabels(DriverFiles& files) : files_(files) {}

    // The input file of the sensor labelled `key`.
    std::optional<std::string> inputFile(const std::string& key);
    // The labelled keys of four characters, sorted by name.
    std::vector<std::string> keys();

  private:
    const std::map<std::string, std::string>& labels();

    DriverFiles& files_;
    std::optional<std::map<std::string, std::string>> labels_;
};

}  // namespace applesmc
