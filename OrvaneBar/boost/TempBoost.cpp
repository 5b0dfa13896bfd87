#include "TempBoost.h"

#include <charconv>
#include <cmath>

#include "Formatting.h"

namespace TempBoost {

int step(double t, double start, double full) {
    if (t >= full || full - start <= 0) return 3;
    const double band = std::floor((t - start) / (full - start) * 4);
    return band >= 3 ? 3 : band <= 0 ? 0 : static_cast<int>(band);
}

std::int64_t stepRPM(int step, double maxRPM) {
    const double m = maxRPM > 0 ? maxRPM : fallbackMaxRPM;  // NaN fails the test as well
    return truncateRPM(m * stepFractions[step]);
}

std::optional<double> parseTemperature(const std::string& text) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    // from_chars takes a minus sign but no plus sign; one sign at most either way.
    if (first != last && *first == '+') {
        ++first;
        if (first != last && *first == '-') return std::nullopt;
    }
    if (first == last) return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (error != std::errc() || end != last || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<Range> validRange(const std::string& startText, const std::string& fullText) {
    const std::optional<double> start = parseTemperature(startText);
    const std::optional<double> full = parseTemperature(fullText);
    if (!start || !full) return std::nullopt;
    if (!(40 <= *start && *start <= 105 && *start < *full && *full <= 110)) return std::nullopt;
    return Range{*start, *full};
}

}  // namespace TempBoost
