#include "Formatting.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <locale>
#include <sstream>

#include "Texts.h"

std::string formatFixed(double value, int decimals) {
    // A stream in the classic locale, not std::to_chars: macOS's own C++ library has
    // to_chars for floating point only from macOS 13.3 on.
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(decimals) << value;
    return out.str();
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
