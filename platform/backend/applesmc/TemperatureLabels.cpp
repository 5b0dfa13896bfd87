#include "TemperatureLabels.h"

#include "Codec.h"

namespace applesmc {

namespace {

// Sensors are numbered from 1.
constexpr int kMaxSensors = 256;

}  // namespace

const std::map<std::string, std::string>& TemperatureLabels::labels() {
    if (!labels_) {
        labels_.emplace();
        std::string text;
        for (int n = 1; n <= kMaxSensors; ++n) {
            const std::string prefix = files_.temperatureFile(n);
            if (files_.read(prefix + "_label", text) != 0) break;
            labels_->emplace(firstLine(text), prefix + "_input");
        }
    }
    return *labels_;
}

std::optional<std::string> TemperatureLabels::inputFile(const std::string& key) {
    auto it = labels().find(key);
    if (it == labels().end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> TemperatureLabels::keys() {
    std::vector<std::string> keys;
    for (const auto& [key, file] : labels())
        if (key.size() == 4) keys.push_back(key);
    return keys;  // a map's keys: sorted
}

}  // namespace applesmc
