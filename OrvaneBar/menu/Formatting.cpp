#include "Formatting.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "Texts.h"

std::string formatFixed(double value, int decimals) {
    // Enough for the longest finite double in fixed notation with a few decimals.
    char buffer[400];
    auto result =
        std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) return "?";
    return std::string(buffer, result.ptr);
}

std::int64_t truncateRPM(double rpm) {
    if (std::isnan(rpm)) return 0;
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (rpm >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (rpm <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(rpm);
}

std::string speedText(double rpm) {
    return std::to_string(truncateRPM(rpm)) + Texts::rpmSuffix;
}

double peakRPM(const std::vector<FanLiveInfo>& fans, std::size_t rowCount) {
    double peak = 0;
    const std::size_t n = std::min(fans.size(), rowCount);
    for (std::size_t i = 0; i < n; ++i)
        peak = std::max(peak, fans[i].currentRPM);
    return peak;
}

std::string statusTitle(double peak) {
    return formatFixed(peak / 1000, 1) + Texts::statusTitleSuffix;
}

std::string temperatureLine(std::optional<double> cpu, std::optional<double> gpu) {
    std::string line;
    if (cpu) line += Texts::tempLineCPUPrefix + formatFixed(*cpu, 0) + Texts::tempLineCPUSuffix;
    if (gpu) line += Texts::tempLineGPUPrefix + formatFixed(*gpu, 0) + Texts::tempLineGPUSuffix;
    return line.empty() ? Texts::tempLineNone : line;
}

std::string smcInitFailureText(const std::string& errorDescription) {
    return errorDescription + Texts::smcInitFailedSuffix;
}

double tempBoostStartTemp(double storedStart, double storedThreshold) {
    if (storedStart > 0) return storedStart;
    if (storedThreshold > 0) return std::max(storedThreshold - 20, 40.0);
    return 65;
}

double tempBoostFullTemp(double storedThreshold) {
    return storedThreshold > 0 ? storedThreshold : 85;
}

std::string tempBoostMenuTitle(double storedStart, double storedThreshold) {
    return Texts::tempBoostPrefix +
           formatFixed(tempBoostStartTemp(storedStart, storedThreshold), 0) +
           Texts::tempBoostArrow + formatFixed(tempBoostFullTemp(storedThreshold), 0) +
           Texts::tempBoostSuffix;
}
