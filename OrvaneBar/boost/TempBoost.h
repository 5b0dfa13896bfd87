// The rules of the temperature boost that need no widgets or hardware: the step for a
// temperature, the speed of a step, and the validation of the dialog's input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace TempBoost {

// Fraction of a fan's maximum speed commanded in each step.
inline constexpr double stepFractions[4] = {0.4, 0.6, 0.8, 1.0};
// The maximum assumed for a fan whose maximum cannot be read.
inline constexpr double fallbackMaxRPM = 6000;

// The step (0 to 3) for a temperature t at or above start: the span from start to full is
// cut into four equal bands; t at or above full, or an empty span, gives 3.
int step(double t, double start, double full);

// The speed of a step for a fan with the given maximum (fallbackMaxRPM when the maximum
// is unreadable: 0 or less, or not a number), fraction dropped.
std::int64_t stepRPM(int step, double maxRPM);

// A temperature typed by the user: the whole text must be a decimal number (an optional
// sign, digits with an optional point, an optional exponent); blanks or anything else
// around it make it fail. Independent of the C library's locale.
std::optional<double> parseTemperature(const std::string& text);

struct Range {
    double start = 0;
    double full = 0;
};
// The dialog's two fields when both parse, 40 <= start <= 105 and start < full <= 110.
std::optional<Range> validRange(const std::string& startText, const std::string& fullText);

}  // namespace TempBoost
