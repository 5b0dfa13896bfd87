#include "TempBoost.h"

#include <locale.h>
#include <stdlib.h>
#ifdef __APPLE__
#include <xlocale.h>
#endif

#include <cmath>
#include <string>
#include <string_view>

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

namespace {

bool isDigit(char c) {
    return '0' <= c && c <= '9';
}

// A plain decimal number: an optional minus sign, digits with at most one point and at
// least one digit, and an optional exponent (e or E, an optional sign, at least one digit).
// No spaces, no hexadecimal, no infinities or NaNs. On success, nonZero tells whether any
// digit before the exponent is other than 0.
bool isPlainDecimal(std::string_view text, bool& nonZero) {
    std::size_t i = 0;
    // Moves past the digits from i on and counts them; in the mantissa notes a nonzero one.
    const auto skipDigits = [&](bool mantissa) {
        const std::size_t first = i;
        for (; i < text.size() && isDigit(text[i]); ++i)
            if (mantissa && text[i] != '0') nonZero = true;
        return i - first;
    };
    nonZero = false;
    if (i < text.size() && text[i] == '-') ++i;
    std::size_t digits = skipDigits(true);
    if (i < text.size() && text[i] == '.') {
        ++i;
        digits += skipDigits(true);
    }
    if (digits == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (skipDigits(false) == 0) return false;
    }
    return i == text.size();
}

// The C locale, whatever the application's locale says the decimal point is.
locale_t cLocale() {
    static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

}  // namespace

std::optional<double> parseTemperature(const std::string& text) {
    std::string_view number = text;
    // One sign at most: a plus sign, or a minus sign as part of the number.
    if (!number.empty() && number.front() == '+') {
        number.remove_prefix(1);
        if (!number.empty() && number.front() == '-') return std::nullopt;
    }
    bool nonZero = false;
    if (!isPlainDecimal(number, nonZero) || cLocale() == locale_t{}) return std::nullopt;
    const std::string digits(number);
    const double value = ::strtod_l(digits.c_str(), nullptr, cLocale());
    // Out of range either way: too large, or a number that is not zero rounded to zero.
    if (!std::isfinite(value) || (value == 0 && nonZero)) return std::nullopt;
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
