#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <locale>

#include "Formatting.h"

TEST(Formatting, FixedMatchesPrintfInTheCLocale) {
    // Ties, values near them, negatives and large numbers, as printf rounds them.
    const double values[] = {0,    0.05,   0.25,  0.35,   2.45, 2.5,        44.5, 45.5,
                             -0.4, -2.449, 999.5, 2450.5, 1e15, 123456.789, 5.55, 1.0 / 3};
    std::setlocale(LC_NUMERIC, "C");
    for (double v : values) {
        for (int decimals : {0, 1}) {
            char expected[64];
            std::snprintf(expected, sizeof(expected), "%.*f", decimals, v);
            EXPECT_EQ(formatFixed(v, decimals), expected) << v << " with " << decimals;
        }
    }
    // A program-wide C++ locale with a decimal comma and digit grouping changes nothing.
    struct Comma : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
    };
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new Comma));
    EXPECT_EQ(formatFixed(123456.789, 1), "123456.8");
    std::locale::global(previous);
}

TEST(Formatting, SpeedTextDropsTheFraction) {
    EXPECT_EQ(speedText(0), "0 RPM");
    EXPECT_EQ(speedText(812.9), "812 RPM");
    EXPECT_EQ(speedText(-0.7), "0 RPM");
    // Readings no sensor should give still format, without undefined conversions.
    EXPECT_EQ(speedText(std::nan("")), "0 RPM");
    EXPECT_EQ(truncateRPM(1e300), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(truncateRPM(-1e300), std::numeric_limits<std::int64_t>::min());
}

TEST(Formatting, StatusTitleFromThePeak) {
    EXPECT_EQ(statusTitle(999), "1.0k");
    EXPECT_EQ(statusTitle(2449), "2.4k");
    EXPECT_EQ(statusTitle(2450.5), "2.5k");
    EXPECT_EQ(statusTitle(2480), "2.5k");

    std::vector<FanLiveInfo> fans(3);
    fans[0].currentRPM = 1800;
    fans[1].currentRPM = 2450.5;
    fans[2].currentRPM = 5000;  // has no row: ignored
    EXPECT_EQ(peakRPM(fans, 2), 2450.5);
    EXPECT_EQ(statusTitle(peakRPM({}, 2)), "0.0k");
}

TEST(Formatting, TemperatureLine) {
    EXPECT_EQ(temperatureLine(45.2, 51.6), "CPU 45℃   GPU 52℃");
    EXPECT_EQ(temperatureLine(45.2, std::nullopt), "CPU 45℃   ");
    EXPECT_EQ(temperatureLine(std::nullopt, 51.6), "GPU 52℃");
    EXPECT_EQ(temperatureLine(std::nullopt, std::nullopt), "Orvane");
}

TEST(Formatting, TempBoostTitleFromStoredSettings) {
    EXPECT_EQ(tempBoostMenuTitle(0, 0), "阶梯加速（65→85℃）");
    EXPECT_EQ(tempBoostMenuTitle(0, 90), "阶梯加速（70→90℃）");
    EXPECT_EQ(tempBoostMenuTitle(0, 50), "阶梯加速（40→50℃）");
    EXPECT_EQ(tempBoostMenuTitle(58.4, 91.6), "阶梯加速（58→92℃）");
    // Zero or less counts as unset.
    EXPECT_EQ(tempBoostMenuTitle(-3, -1), "阶梯加速（65→85℃）");
}

TEST(Formatting, SMCInitFailureText) {
    EXPECT_EQ(smcInitFailureText("未找到 AppleSMC 服务"),
              "未找到 AppleSMC 服务\n\n本应用仅支持带 Apple SMC 的 Intel MacBook。");
}
