#include <gtest/gtest.h>

#include "Machine.h"
#include "TestSupport.h"

namespace smcemu {
namespace {

using test::bytesAt;
using test::le32;
using test::request;
using Bytes = std::vector<uint8_t>;

const char* kSmallMachine =
    "\"FNum\" \"ui8 \" 1 01\n"
    "\"F0Ac\" \"fpe2\" 2 1f40\n"
    "\"F0Mn\" \"fpe2\" 2 1f40\n"
    "\"F0Mx\" \"fpe2\" 2 5dc0\n"
    "\"FS! \" \"ui16\" 2 0000\n"
    "\"TC0P\" \"sp78\" 2 3000\n"
    "\"LONG\" \"ch8*\" 40 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
    "2021222324252627\n";

class MachineCalls : public testing::Test {
  protected:
    test::ManualMachine m{kSmallMachine};

    static bool allZeroExcept(const test::Block& out, size_t from, size_t to) {
        for (size_t i = 0; i < out.size(); ++i)
            if ((i < from || i >= to) && out[i] != 0) return false;
        return true;
    }
};

TEST_F(MachineCalls, KeyInfoGivesSizeAndTypeCodeLittleEndian) {
    auto r = m.call(request("FNum", kCmdKeyInfo));
    EXPECT_EQ(r.kr, 0);
    EXPECT_EQ(le32(&r.out[28]), 1u);
    EXPECT_EQ(bytesAt(r.out, 32, 4), (Bytes{0x20, 0x38, 0x69, 0x75}));  // "ui8 "
    EXPECT_EQ(r.out[40], 0);

    // A key with a trailing space arrives as its four bytes read big-endian.
    r = m.call(request("FS! ", kCmdKeyInfo));
    EXPECT_EQ(le32(&r.out[28]), 2u);
    EXPECT_EQ(le32(&r.out[32]), 0x75693136u);  // "ui16"
}

// "#KEY" counts the keys; command 8 names the key at a position (offset 44) in name order.
TEST_F(MachineCalls, KeyIndexCountsAndNamesTheKeysInOrder) {
    auto info = m.call(request("#KEY", kCmdKeyInfo));
    EXPECT_EQ(le32(&info.out[28]), 4u);
    EXPECT_EQ(le32(&info.out[32]), 0x75693332u);  // "ui32"
    auto count = m.call(request("#KEY", kCmdRead, 4));
    EXPECT_EQ(bytesAt(count.out, 48, 4), (Bytes{0, 0, 0, 7}));  // big-endian
    std::vector<std::string> names;
    for (uint32_t i = 0; i <= 7; ++i) {
        test::Block in = request(std::string(4, '\0'), kCmdReadIndex);
        in[44] = static_cast<uint8_t>(i);
        auto r = m.call(in);
        EXPECT_EQ(r.kr, 0);
        if (i == 7) {
            EXPECT_EQ(r.out[40], 0x84);  // past the last key
            break;
        }
        std::string name;
        for (int b = 3; b >= 0; --b)
            name.push_back(static_cast<char>(r.out[b]));
        names.push_back(name);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"F0Ac", "F0Mn", "F0Mx", "FNum", "FS! ", "LONG", "TC0P"}));
}

// A sensor key holding a placeholder or an impossible reading has no sensor behind it:
// the model leaves it while the others follow the machine.
TEST(MachineSensors, PlaceholderKeysKeepTheirValue) {
    test::ManualMachine m(
        "@load 1\n\"FNum\" \"ui8 \" 1 00\n\"TC0P\" \"sp78\" 2 3000\n"
        "\"TH0P\" \"sp78\" 2 0000\n\"TL0P\" \"sp78\" 2 8100\n\"TI0P\" \"flt \" 4 ffffffff\n"
        "\"TN0P\" \"sp87\" 2 7fff\n\"TM0P\" \"fp88\" 2 0001\n");
    auto bytesOf = [&](const std::string& key) {
        for (const Key& k : m->keysByIndex())
            if (k.name == key) return k.bytes;
        return Bytes{};
    };
    const std::string placeholders[] = {"TH0P", "TL0P", "TI0P", "TN0P"};
    std::vector<Bytes> before;
    for (const std::string& key : placeholders)
        before.push_back(bytesOf(key));
    m.passSeconds(30);
    EXPECT_GT(*m->keyNumber("TC0P"), 100);  // no fans at full load
    EXPECT_GT(*m->keyNumber("TM0P"), 30);   // a populated sensor in another type
    for (std::size_t i = 0; i < std::size(placeholders); ++i)
        EXPECT_EQ(bytesOf(placeholders[i]), before[i]) << placeholders[i];
}

TEST_F(MachineCalls, MissingKeyAnswersSizeZeroAndResult84) {
    auto info = m.call(request("F9Ac", kCmdKeyInfo));
    EXPECT_EQ(info.kr, 0);
    EXPECT_EQ(le32(&info.out[28]), 0u);
    EXPECT_EQ(info.out[40], 0x84);

    auto read = m.call(request("F9Ac", kCmdRead, 2));
    EXPECT_EQ(read.kr, 0);
    EXPECT_EQ(read.out[40], 0x84);
    EXPECT_TRUE(allZeroExcept(read.out, 40, 41));

    EXPECT_EQ(m.write("F9Ac", {1, 2}), 0x84);
}

TEST_F(MachineCalls, ReadPutsOnlyTheValueAtOffset48) {
    auto r = m.call(request("FNum", kCmdRead, 1));
    EXPECT_EQ(r.kr, 0);
    EXPECT_EQ(r.out[48], 1);
    EXPECT_TRUE(allZeroExcept(r.out, 48, 49));
}

TEST_F(MachineCalls, KeyLongerThanTheBlockReadsItsFirst32Bytes) {
    auto r = m.call(request("LONG", kCmdRead, 40));
    Bytes expected;
    for (uint8_t i = 0; i < 32; ++i)
        expected.push_back(i);
    EXPECT_EQ(bytesAt(r.out, 48, 32), expected);
}

TEST_F(MachineCalls, RootWriteStoresTheKeySizeBytes) {
    // Four bytes sent to a two-byte key: only the first two count.
    EXPECT_EQ(m.write("FS! ", {0x00, 0x03, 0xEE, 0xEE}), 0);
    auto r = m.call(request("FS! ", kCmdRead, 2));
    EXPECT_EQ(bytesAt(r.out, 48, 4), (Bytes{0x00, 0x03, 0, 0}));
    EXPECT_EQ(m->control("get \"FS! \""), "OK ui16 2 0003");
}

TEST_F(MachineCalls, WriteFromOrdinaryUserIsNotPrivileged) {
    auto r = m.call(request("FS! ", kCmdWrite, 2, {0x00, 0x03}), /*privileged=*/false);
    EXPECT_EQ(static_cast<uint32_t>(r.kr), 0xE00002C1u);
    EXPECT_EQ(m->control("get \"FS! \""), "OK ui16 2 0000");
    // Reading needs no privilege.
    EXPECT_EQ(m.call(request("FNum", kCmdRead, 1), false).kr, 0);
}

TEST_F(MachineCalls, ComputedKeysRefuseWrites) {
    std::string ac = m->control("get F0Ac"), tc = m->control("get TC0P");
    EXPECT_NE(m.write("F0Ac", {0x3e, 0x80}), 0);
    EXPECT_NE(m.write("TC0P", {0x10, 0x00}), 0);
    EXPECT_EQ(m->control("get F0Ac"), ac);
    EXPECT_EQ(m->control("get TC0P"), tc);
}

TEST_F(MachineCalls, OtherSelectorsAreUnsupportedWithAZeroBlock) {
    auto r = m.call(request("FNum", kCmdRead, 1), true, /*selector=*/3);
    EXPECT_EQ(static_cast<uint32_t>(r.kr), 0xE00002C7u);
    EXPECT_TRUE(allZeroExcept(r.out, 0, 0));
    EXPECT_EQ(m->callCount(), 1u);
}

TEST_F(MachineCalls, OtherCommandsSucceedWithANonZeroResult) {
    for (uint8_t cmd : {0, 7, 10, 255}) {
        auto r = m.call(request("FNum", cmd));
        EXPECT_EQ(r.kr, 0);
        EXPECT_NE(r.out[40], 0) << int(cmd);
    }
}

}  // namespace
}  // namespace smcemu
