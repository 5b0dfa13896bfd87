#include <gtest/gtest.h>
#include <stdlib.h>

#include "Emulator.h"
#include "FakeSMC.h"
#include "SMCConnection.h"

using Bytes = std::vector<std::uint8_t>;
using Block = FakeSMC::Block;

namespace {

Block block(std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes) {
    Block b{};
    for (auto [offset, value] : bytes)
        b[offset] = value;
    return b;
}

class ConnectionTest : public ::testing::Test {
  protected:
    FakeSMC smc;
};

}  // namespace

TEST_F(ConnectionTest, FirstReadAsksKeyInfoThenReadsAndCachesTheInfo) {
    smc.addKey("FNum", "ui8 ", {0x02});
    SMCConnection conn;
    EXPECT_EQ(conn.readBytes("FNum"), (Bytes{0x02}));
    ASSERT_EQ(smc.blocks().size(), 2u);
    EXPECT_EQ(smc.blocks()[0], block({{0, 0x6D}, {1, 0x75}, {2, 0x4E}, {3, 0x46}, {42, 9}}));
    EXPECT_EQ(smc.blocks()[1],
              block({{0, 0x6D}, {1, 0x75}, {2, 0x4E}, {3, 0x46}, {28, 1}, {42, 5}}));

    smc.clearBlocks();
    EXPECT_EQ(conn.readBytes("FNum"), (Bytes{0x02}));
    ASSERT_EQ(smc.blocks().size(), 1u);
    EXPECT_EQ(smc.blocks()[0][42], 5);
}

TEST_F(ConnectionTest, WriteBlockCarriesKeySizeCommandAndValue) {
    smc.addKey("F0Md", "ui8 ", {0x00});
    SMCConnection conn;
    conn.readKeyInfo("F0Md");
    smc.clearBlocks();
    conn.writeBytes("F0Md", {0x01});
    ASSERT_EQ(smc.blocks().size(), 1u);
    EXPECT_EQ(smc.blocks()[0],
              block({{0, 0x64}, {1, 0x4D}, {2, 0x30}, {3, 0x46}, {28, 1}, {42, 6}, {48, 1}}));
    EXPECT_EQ(smc.value("F0Md"), (Bytes{0x01}));
}

TEST_F(ConnectionTest, MissingKeyIsCachedWithSizeZero) {
    SMCConnection conn;
    EXPECT_EQ(conn.readKeyInfo("F9Xx").first, 0u);
    EXPECT_FALSE(conn.readBytes("F9Xx"));
    EXPECT_FALSE(conn.tryReadBytes("F9Xx"));
    try {
        conn.writeBytes("F9Xx", {1});
        FAIL() << "write to a missing key succeeded";
    } catch (const SMCError& e) {
        EXPECT_EQ(e.kind(), SMCError::Kind::keyNotFound);
        EXPECT_EQ(e.description(), "key F9Xx 不存在");
    }
    EXPECT_EQ(smc.blocks().size(), 1u);  // only the first key-info query reached the service
}

TEST_F(ConnectionTest, KeysThatAreNotFourBytesSendNothing) {
    SMCConnection conn;
    for (const char* key : {"F12Mn", "F-1Ac", "FNu", "", "F\xC3\xA9", "F\xFF\xFE\xFD"}) {
        EXPECT_FALSE(SMCConnection::keyCode(key)) << key;
        EXPECT_FALSE(conn.tryReadBytes(key));
        try {
            conn.readBytes(key);
            FAIL() << "read of " << key << " succeeded";
        } catch (const SMCError& e) {
            EXPECT_EQ(e.description(), std::string("key ") + key + " 不存在");
        }
    }
    EXPECT_TRUE(smc.blocks().empty());
    EXPECT_EQ(SMCConnection::keyCode("FNum"), 0x464E756Du);
    EXPECT_EQ(SMCConnection::keyCode("FS! "), 0x46532120u);
}

TEST(SMCConnectionStatic, KeyStringDecodesAsciiOnly) {
    EXPECT_EQ(SMCConnection::keyString(0x66706532), "fpe2");
    EXPECT_EQ(SMCConnection::keyString(0x666C7420), "flt ");
    EXPECT_EQ(SMCConnection::keyString(0), std::string(4, '\0'));
    EXPECT_EQ(SMCConnection::keyString(0x80706532), "????");
    EXPECT_EQ(SMCConnection::keyString(0x667065FF), "????");
}

TEST_F(ConnectionTest, TransportFailuresRaiseByCommand) {
    smc.addKey("F0Ac", "fpe2", {0x12, 0xC0});
    smc.addKey("F0Tg", "fpe2", {0x12, 0xC0});
    smc.failKey("F0Ac", 5, static_cast<std::int32_t>(0xE00002BC));
    smc.failKey("F0Tg", 6, static_cast<std::int32_t>(0xE00002C1));
    SMCConnection conn;
    try {
        conn.readBytes("F0Ac");
        FAIL();
    } catch (const SMCError& e) {
        EXPECT_EQ(e.kind(), SMCError::Kind::callFailed);
        EXPECT_EQ(e.description(), "SMC 调用失败(cmd=5, kr=0xe00002bc)");
    }
    try {
        conn.writeBytes("F0Tg", {0x1F, 0x40});
        FAIL();
    } catch (const SMCError& e) {
        EXPECT_EQ(e.kind(), SMCError::Kind::writeRejected);
        EXPECT_EQ(e.description(),
                  "写入被拒(kr=0xe00002c1)——普通用户权限不足，需 root/特权 helper");
    }
}

TEST_F(ConnectionTest, FailedKeyInfoIsNotCachedAndFailsWritesAsCallFailed) {
    smc.addKey("F0Tg", "fpe2", {0x12, 0xC0});
    smc.failKey("F0Tg", 9, 5);
    SMCConnection conn;
    try {
        conn.writeBytes("F0Tg", {1, 2});
        FAIL();
    } catch (const SMCError& e) {
        EXPECT_EQ(e.description(), "SMC 调用失败(cmd=9, kr=0x5)");
    }
    conn.tryReadBytes("F0Tg");
    EXPECT_EQ(smc.blocks().size(), 2u);  // asked again: nothing was cached
}

TEST_F(ConnectionTest, ValuesLongerThanTheBlockAreNotReturned) {
    smc.addKey("BIGK", "ch8*", Bytes(32, 0x41), 33);
    smc.addKey("LONG", "ch8*", Bytes(32, 0x41));
    SMCConnection conn;
    EXPECT_FALSE(conn.readBytes("BIGK"));
    EXPECT_EQ(smc.blocks().back()[42], 5);  // the read itself was made
    EXPECT_EQ(conn.readBytes("LONG"), Bytes(32, 0x41));
}

TEST_F(ConnectionTest, WriteDataIsCutAt32BytesAndPaddedWithZeros) {
    smc.addKey("LONG", "ch8*", Bytes(32, 0));
    smc.addKey("PAIR", "ui16", {0, 0});
    SMCConnection conn;
    Bytes forty(40);
    for (std::size_t i = 0; i < forty.size(); ++i)
        forty[i] = static_cast<std::uint8_t>(i + 1);
    conn.writeBytes("LONG", forty);
    Block sent = smc.blocks().back();
    EXPECT_EQ(Bytes(sent.begin() + 48, sent.end()), Bytes(forty.begin(), forty.begin() + 32));

    conn.writeBytes("PAIR", {0x07});
    sent = smc.blocks().back();
    EXPECT_EQ(sent[28], 2);
    Bytes expected(32, 0);
    expected[0] = 0x07;
    EXPECT_EQ(Bytes(sent.begin() + 48, sent.end()), expected);
}

TEST(SMCConnectionOpen, NoServiceMeansServiceNotFound) {
    ::setenv("SMCEMU_SOCKET", "/tmp/no-such-dir/none.sock", 1);
    try {
        SMCConnection conn;
        FAIL() << "opened a service that does not exist";
    } catch (const SMCError& e) {
        EXPECT_EQ(e.kind(), SMCError::Kind::serviceNotFound);
        EXPECT_EQ(e.description(), "未找到 AppleSMC 服务");
    }
    ::unsetenv("SMCEMU_SOCKET");
}

TEST(SMCErrorText, DescriptionsAndCommandCodes) {
    EXPECT_EQ(SMCError::openFailed(static_cast<std::int32_t>(0xE00002C2)).description(),
              "IOServiceOpen 失败: 0xe00002c2");
    EXPECT_EQ(SMCError::callFailed(SMCCommand::readKeyInfo, 5).description(),
              "SMC 调用失败(cmd=9, kr=0x5)");
    EXPECT_EQ(SMCError::badDataType("F0Mx", "flt ").description(), "key F0Mx dataType 异常: flt ");
    EXPECT_EQ(SMCError::writeRejected(-1).description(),
              "写入被拒(kr=0xffffffff)——普通用户权限不足，需 root/特权 helper");
    // A key the service cannot write at all, beside its neighbouring codes.
    EXPECT_EQ(SMCError::writeRejected(static_cast<std::int32_t>(0xE00002CF)).description(),
              "写入被拒(kr=0xe00002cf)——此驱动不支持写入该键");
    for (std::uint32_t kr : {0xE00002CEu, 0xE00002D0u, 0xE00002C7u})
        EXPECT_EQ(
            SMCError::writeRejected(static_cast<std::int32_t>(kr)).description().find("此驱动"),
            std::string::npos);
    for (int raw = 0; raw < 256; ++raw) {
        bool known = raw == 5 || raw == 6 || raw == 8 || raw == 9;
        EXPECT_EQ(smcCommandFromRaw(static_cast<std::uint8_t>(raw)).has_value(), known) << raw;
    }
}

// A connection the service drops fails that one call; the next call opens it again.
TEST(SMCConnectionEmulator, DroppedConnectionFailsOneCallOnly) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    SMCConnection conn;
    ASSERT_TRUE(conn.readBytes("FNum"));
    ASSERT_EQ(emu.control("fault call 1 drop").rfind("OK", 0), 0u);
    try {
        conn.readBytes("FNum");
        FAIL() << "a dropped call succeeded";
    } catch (const SMCError& e) {
        EXPECT_EQ(e.description(), "SMC 调用失败(cmd=5, kr=0xe00002ed)");
    }
    EXPECT_EQ(conn.readBytes("FNum"), Bytes{0x02});
}
