#include <gtest/gtest.h>

#include <cmath>

#include "Codec.h"

namespace smcemu {
namespace {

using Bytes = std::vector<uint8_t>;

struct Sample {
    const char* type;
    double value;
    Bytes bytes;
};

class CodecSamples : public testing::TestWithParam<Sample> {};

TEST_P(CodecSamples, EncodeGivesTheBytesAndDecodeTheValue) {
    const Sample& s = GetParam();
    Bytes out(s.bytes.size(), 0xAA);
    ASSERT_TRUE(codec::encodeInto(s.value, s.type, out));
    EXPECT_EQ(out, s.bytes);
    std::optional<double> back = codec::decode(s.bytes, s.type);
    ASSERT_TRUE(back);
    EXPECT_DOUBLE_EQ(*back, s.value);
}

INSTANTIATE_TEST_SUITE_P(
    KnownValues, CodecSamples,
    testing::Values(Sample{"fpe2", 1200, {0x12, 0xC0}}, Sample{"fpe2", 6000.25, {0x5D, 0xC1}},
                    Sample{"flt ", 1200, {0x00, 0x00, 0x96, 0x44}},
                    Sample{"flt ", 5700, {0x00, 0x20, 0xB2, 0x45}}, Sample{"ui8 ", 3, {0x03}},
                    Sample{"ui16", 4800, {0x12, 0xC0}},
                    Sample{"ui32", 0x01020304, {0x01, 0x02, 0x03, 0x04}},
                    Sample{"sp78", 45.5, {0x2D, 0x80}}, Sample{"sp78", -0.5, {0xFF, 0x80}},
                    // The other fixed-point types sensors are kept in.
                    Sample{"sp87", 91, {0x2D, 0x80}}, Sample{"sp96", -2, {0xFF, 0x80}},
                    Sample{"spa5", 18, {0x02, 0x40}}, Sample{"fp88", 150.25, {0x96, 0x40}},
                    Sample{"fp79", 75.125, {0x96, 0x40}}));

TEST(Codec, EncodingSaturatesAndLeavesTrailingBytes) {
    Bytes b{9, 9, 9};
    ASSERT_TRUE(codec::encodeInto(-50, "fpe2", b));
    EXPECT_EQ(b, (Bytes{0, 0, 9}));
    ASSERT_TRUE(codec::encodeInto(1e9, "fpe2", b));
    EXPECT_EQ(b, (Bytes{0xFF, 0xFF, 9}));
    ASSERT_TRUE(codec::encodeInto(300, "sp78", b));
    EXPECT_EQ(b, (Bytes{0x7F, 0xFF, 9}));
    ASSERT_TRUE(codec::encodeInto(-1, "ui8 ", b));
    EXPECT_EQ(b[0], 0);
}

TEST(Codec, RefusesUnknownTypesShortKeysAndNaN) {
    Bytes two{1, 2};
    EXPECT_FALSE(codec::encodeInto(1, "flt ", two));
    EXPECT_FALSE(codec::encodeInto(1, "flt", two));
    EXPECT_FALSE(codec::encodeInto(1, "{fds", two));
    EXPECT_FALSE(codec::encodeInto(std::nan(""), "ui16", two));
    EXPECT_EQ(two, (Bytes{1, 2}));
    EXPECT_FALSE(codec::decode(two, "flt "));
    EXPECT_FALSE(codec::decode(Bytes{1}, "sp78"));
    EXPECT_FALSE(codec::decode(Bytes{}, "ui8 "));
    EXPECT_FALSE(codec::decode(two, "si16"));
}

}  // namespace
}  // namespace smcemu
