// The texts the application builds from readings: speeds, the status title, the
// temperature line, the boost item's title and the start-up failure message. Plain
// C++, independent of the C library's locale (the GUI toolkit switches it to the
// user's, which could turn "2.5k" into "2,5k").
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "FanController.h"

// printf's "%.Nf" in the C locale.
std::string formatFixed(double value, int decimals);

// A speed as a whole number, the fraction dropped toward zero. Values a sensor should
// never give (not a number, beyond 64 bits) become 0 or saturate rather than being
// undefined.
std::int64_t truncateRPM(double rpm);

// "812 RPM" for 812.9.
std::string speedText(double rpm);

// The largest currentRPM among the first rowCount records; 0 when there are none.
double peakRPM(const std::vector<FanLiveInfo>& fans, std::size_t rowCount);

// The status item's title for a peak speed: "%.1fk" of rpm / 1000 (2480 gives "2.5k").
std::string statusTitle(double peakRPM);

// "CPU 45℃   GPU 52℃"; either half left out when its reading is missing; "Orvane"
// when both are.
std::string temperatureLine(std::optional<double> cpu, std::optional<double> gpu);

// The informative text of the alert shown when the SMC cannot be opened.
std::string smcInitFailureText(const std::string& errorDescription);

// The boost temperatures in effect, from the stored settings (a stored value of 0 or
// less, or none, counts as unset).
double tempBoostStartTemp(double storedStart, double storedThreshold);
double tempBoostFullTemp(double storedThreshold);
// "阶梯加速（65→85℃）" with nothing stored.
std::string tempBoostMenuTitle(double storedStart, double storedThreshold);
