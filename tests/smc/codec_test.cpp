#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "SMCCodec.h"

using Bytes = std::vector<std::uint8_t>;

TEST(SMCCodec, DecodesEachTypeFromItsLayout) {
    EXPECT_EQ(SMCCodec::decode({0x12, 0xC0}, "fpe2"), 1200.0);
    EXPECT_EQ(SMCCodec::decode({0xFF, 0xFF}, "fpe2"), 16383.75);
    EXPECT_EQ(SMCCodec::decode({0x00, 0x00, 0x96, 0x44}, "flt "), 1200.0);
    EXPECT_EQ(SMCCodec::decode({0x02}, "ui8 "), 2.0);
    EXPECT_EQ(SMCCodec::decode({0x12, 0xC0}, "ui16"), 4800.0);
    EXPECT_EQ(SMCCodec::decode({0x01, 0x02, 0x03, 0x04}, "ui32"), 16909060.0);
    EXPECT_EQ(SMCCodec::decode({0xFF, 0xFF, 0xFF, 0xFF}, "ui32"), 4294967295.0);
    EXPECT_EQ(SMCCodec::decode({0x2D, 0x80}, "sp78"), 45.5);
    EXPECT_EQ(SMCCodec::decode({0xFF, 0x80}, "sp78"), -0.5);
    EXPECT_EQ(SMCCodec::decode({0x80, 0x00}, "sp78"), -128.0);
}

TEST(SMCCodec, ExtraBytesAreIgnored) {
    EXPECT_EQ(SMCCodec::decode({0x00, 0x00, 0x00, 0x07, 0x09}, "ui32"), 7.0);
    EXPECT_EQ(SMCCodec::decode({0x03, 0xFF}, "ui8 "), 3.0);
}

TEST(SMCCodec, UnknownTypesAndShortInputGiveNoValue) {
    for (const char* type : {"flt", "????", "si16", "fp88", "FPE2", "ui8", ""}) {
        EXPECT_FALSE(SMCCodec::decode({1, 2, 3, 4, 5, 6, 7, 8}, type)) << type;
    }
    EXPECT_FALSE(SMCCodec::decode({0x12}, "fpe2"));
    EXPECT_FALSE(SMCCodec::decode({0x12}, "ui16"));
    EXPECT_FALSE(SMCCodec::decode({0x12}, "sp78"));
    EXPECT_FALSE(SMCCodec::decode({1, 2, 3}, "flt "));
    EXPECT_FALSE(SMCCodec::decode({1, 2, 3}, "ui32"));
    EXPECT_FALSE(SMCCodec::decode({}, "ui8 "));
}

TEST(SMCCodec, NonFiniteFloatsPassThrough) {
    auto nan = SMCCodec::decode({0x00, 0x00, 0xC0, 0x7F}, "flt ");
    ASSERT_TRUE(nan);
    EXPECT_TRUE(std::isnan(*nan));
    EXPECT_EQ(SMCCodec::decode({0x00, 0x00, 0x80, 0x7F}, "flt "),
              std::numeric_limits<double>::infinity());
    EXPECT_EQ(SMCCodec::decode({0x00, 0x00, 0x80, 0xFF}, "flt "),
              -std::numeric_limits<double>::infinity());
}

TEST(SMCCodec, EncodeFPE2SaturatesAtBothEnds) {
    EXPECT_EQ(SMCCodec::encodeFPE2(1200), (Bytes{0x12, 0xC0}));
    EXPECT_EQ(SMCCodec::encodeFPE2(2000), (Bytes{0x1F, 0x40}));
    EXPECT_EQ(SMCCodec::encodeFPE2(3000), (Bytes{0x2E, 0xE0}));
    EXPECT_EQ(SMCCodec::encodeFPE2(0), (Bytes{0x00, 0x00}));
    EXPECT_EQ(SMCCodec::encodeFPE2(-1), (Bytes{0x00, 0x00}));
    EXPECT_EQ(SMCCodec::encodeFPE2(INT64_MIN), (Bytes{0x00, 0x00}));
    EXPECT_EQ(SMCCodec::encodeFPE2(16383), (Bytes{0xFF, 0xFC}));
    EXPECT_EQ(SMCCodec::encodeFPE2(16384), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(SMCCodec::encodeFPE2(INT64_MAX), (Bytes{0xFF, 0xFF}));
}

TEST(SMCCodec, EncodeFLTIsLittleEndianSinglePrecision) {
    EXPECT_EQ(SMCCodec::encodeFLT(1200.0f), (Bytes{0x00, 0x00, 0x96, 0x44}));
    EXPECT_EQ(SMCCodec::encodeFLT(2000.0f), (Bytes{0x00, 0x00, 0xFA, 0x44}));
    EXPECT_EQ(SMCCodec::encodeFLT(-2.0f), (Bytes{0x00, 0x00, 0x00, 0xC0}));
}

TEST(SMCCodec, WholeSpeedsRoundTrip) {
    for (std::int64_t rpm = 0; rpm <= 16383; ++rpm) {
        ASSERT_EQ(SMCCodec::decode(SMCCodec::encodeFPE2(rpm), "fpe2"), double(rpm)) << rpm;
    }
    // Every whole number up to 2^24 is exact in single precision; sample the range densely.
    for (std::int64_t rpm = 0; rpm <= 16777216; rpm += 997) {
        ASSERT_EQ(SMCCodec::decode(SMCCodec::encodeFLT(float(rpm)), "flt "), double(rpm)) << rpm;
    }
    EXPECT_EQ(SMCCodec::decode(SMCCodec::encodeFLT(16777216.0f), "flt "), 16777216.0);
}
