// The integer and number argument rules and the integer shown for a reading.
#include "Format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using orvtool::integerOf;
using orvtool::parseInteger;
using orvtool::parseNumber;

TEST(IntegerRule, AcceptsSignedDecimalWithin64BitsOnly) {
    const std::pair<const char*, std::int64_t> accepted[] = {
        {"0", 0},
        {"+2000", 2000},
        {"-1", -1},
        {"007", 7},
        {"9223372036854775807", INT64_MAX},
        {"-0", 0},
        {"-9223372036854775808", INT64_MIN},
    };
    for (const auto& [text, value] : accepted)
        EXPECT_EQ(parseInteger(text), value) << text;
    const char* rejected[] = {"",
                              "+",
                              "-",
                              " 2000",
                              "2000 ",
                              "20 00",
                              "2000.0",
                              "1e3",
                              "0x10",
                              "+-1",
                              "٣",
                              "1\n",
                              "9223372036854775808",
                              "-9223372036854775809"};
    for (const char* text : rejected)
        EXPECT_FALSE(parseInteger(text)) << '"' << text << '"';
}

TEST(NumberRule, AcceptsWhatStrtodConsumesWholeWithoutLeadingWhitespace) {
    const std::pair<const char*, double> accepted[] = {
        {"1.3", 1.3}, {"-1", -1}, {"+2.5", 2.5}, {"1e1", 10}, {"0x1p1", 2}, {".5", 0.5}, {"5.", 5},
    };
    for (const auto& [text, value] : accepted)
        EXPECT_EQ(parseNumber(text), value) << text;
    // Infinity and NaN are numbers to strtod; the caller judges the range.
    EXPECT_TRUE(std::isinf(parseNumber("inf").value_or(0)));
    EXPECT_TRUE(std::isnan(parseNumber("nan").value_or(0)));
    const char* rejected[] = {"", " 1", "\t1", "\n1", "\v1", "\f1", "\r1", "1 ", "1x", "1,5", "."};
    for (const char* text : rejected)
        EXPECT_FALSE(parseNumber(text)) << '"' << text << '"';
    EXPECT_FALSE(
        parseNumber(std::string("1\0"
                                "5",
                                3)));
}

TEST(IntegerOfReading, TruncatesTowardZeroSaturatesAndMapsNaNToZero) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(integerOf(2480.9), 2480);
    EXPECT_EQ(integerOf(-2.9), -2);
    EXPECT_EQ(integerOf(9223372036854775807.0), INT64_MAX);  // that double is 2^63
    EXPECT_EQ(integerOf(-9223372036854775808.0), INT64_MIN);
    EXPECT_EQ(integerOf(-1e300), INT64_MIN);
    EXPECT_EQ(integerOf(kInf), INT64_MAX);
    EXPECT_EQ(integerOf(-kInf), INT64_MIN);
    EXPECT_EQ(integerOf(std::nan("")), 0);
}
