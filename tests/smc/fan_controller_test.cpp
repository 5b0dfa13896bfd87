#include <gtest/gtest.h>

#include <functional>

#include "Emulator.h"
#include "FakeSMC.h"
#include "FanController.h"
#include "TempRecord.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

std::string keyNotFoundText(const std::function<void()>& f) {
    try {
        f();
    } catch (const SMCError& e) {
        return e.kind() == SMCError::Kind::keyNotFound ? e.description()
                                                       : "other: " + e.description();
    }
    return "no error";
}

}  // namespace

TEST(FanControllerProfiles, RecentTwoFanMachine) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    FanController fc(noRecord());
    ASSERT_EQ(fc.numberOfFans(), 2);
    auto fans = fc.allFans();
    ASSERT_EQ(fans.size(), 2u);
    for (const FanInfo& f : fans) {
        EXPECT_EQ(f.name, "Fan " + std::to_string(f.index));
        EXPECT_EQ(f.acDataType, "flt ");
        EXPECT_TRUE(f.hasMd);
        EXPECT_EQ(f.mdValue, 0);
        EXPECT_GT(f.minRPM, 0);
        EXPECT_GT(f.maxRPM, f.minRPM);
        EXPECT_TRUE(f.safeRPM);
        ASSERT_TRUE(f.originalMnBytes);
        EXPECT_EQ(f.originalMnBytes->size(), 4u);
    }
    EXPECT_EQ(fc.forceFlag(), std::make_pair(false, std::optional<std::uint8_t>()));
    EXPECT_TRUE(fc.cpuTemperature());
    EXPECT_TRUE(fc.gpuTemperature());
}

TEST(FanControllerProfiles, OlderTwoFanMachineReadsCapitalIdRecords) {
    Emulator emu(Emulator::shippedProfile("older-2fan.prof"));
    FanController fc(noRecord());
    ASSERT_EQ(fc.numberOfFans(), 2);
    auto fans = fc.allFans();
    for (const FanInfo& f : fans) {
        EXPECT_EQ(f.acDataType, "fpe2");
        EXPECT_FALSE(f.hasMd);
        EXPECT_FALSE(f.mdValue);
        EXPECT_NE(f.name.rfind("Fan ", 0), 0u) << "name record not read: " << f.name;
        EXPECT_EQ(f.originalMnBytes->size(), 2u);
    }
    EXPECT_TRUE(fc.forceFlag().first);
    EXPECT_EQ(fc.forceFlag().second, 0);
    for (const FanLiveInfo& f : fc.liveFans())
        EXPECT_FALSE(f.forced);
}

TEST(FanControllerProfiles, MachineWithoutFirstCpuKeysOrGpuKey) {
    Emulator emu(Emulator::shippedProfile("single-fan.prof"));
    FanController fc(noRecord());
    EXPECT_EQ(fc.numberOfFans(), 1);
    auto cpu = fc.cpuTemperature();
    ASSERT_TRUE(cpu);
    EXPECT_GT(*cpu, 10);
    EXPECT_LT(*cpu, 110);
    EXPECT_FALSE(fc.gpuTemperature());
}

TEST(FanControllerProfiles, OddCasesMachineLoads) {
    Emulator emu(Emulator::shippedProfile("odd-cases.prof"));
    FanController fc(noRecord());
    ASSERT_GE(fc.numberOfFans(), 1);
    EXPECT_EQ(fc.allFans().size(), static_cast<std::size_t>(fc.numberOfFans()));
    EXPECT_TRUE(fc.cpuTemperature());
    EXPECT_FALSE(fc.gpuTemperature());
}

// Names, limits and indices, against a machine made for the purpose.
TEST(FanControllerProfiles, NamesLimitsAndIndices) {
    Emulator emu(R"(
"FNum" "ui8 " 1 08
"F0Id" "ch8*" 16 05000000 5269676874 5859 0000000000
"F1Id" "{fds" 16 000000004c65667420736964650000 00
"F2Id" "ch8*" 3  414243
"F3Id" "ch8*" 8  00000000c328c328
"F4ID" "{fds" 16 00000c004c6566742073696465202000
"F5Id" "ch8*" 8  02000000c328ffff
"F6Id" "ch8*" 4  00000000
"F0Mn" "fpe2" 2 12c0
"F0Mx" "fpe2" 2 5dc0
"F0Ac" "fpe2" 2 1f40
"F1Mn" "flt " 4 00009644
"F1Mx" "flt " 4 00c0b945
"F1Ac" "flt " 4 00009644
)",
                 true);
    FanController fc(noRecord());
    ASSERT_EQ(fc.numberOfFans(), 8);
    EXPECT_EQ(fc.fanName(0), "Right");  // the little-endian count ends it before "XY"
    EXPECT_EQ(fc.fanName(1), "Left side");
    EXPECT_EQ(fc.fanName(2), "Fan 2");
    EXPECT_EQ(fc.fanName(3), "Fan 3");
    EXPECT_EQ(fc.fanName(4), "Left side  ");  // the F{i}ID spelling, form feed trimmed
    EXPECT_EQ(fc.fanName(5), "Fan 5");
    EXPECT_EQ(fc.fanName(6), "");  // four NULs: not empty before trimming, empty after
    EXPECT_EQ(fc.fanName(7), "Fan 7");
    EXPECT_EQ(fc.fanName(-1), "Fan -1");
    EXPECT_EQ(fc.fanName(8), "Fan 8");

    EXPECT_EQ(fc.minRPM(0), 1200);
    EXPECT_EQ(fc.maxRPM(0), 6000);
    EXPECT_EQ(fc.minRPM(1), 1200);
    EXPECT_EQ(fc.maxRPM(1), 5944);
    EXPECT_EQ(fc.minRPM(7), 0);
    EXPECT_EQ(fc.maxRPM(7), 0);
    EXPECT_EQ(keyNotFoundText([&] { fc.minRPM(8); }), "key F8Mn 不存在");
    EXPECT_EQ(keyNotFoundText([&] { fc.maxRPM(-1); }), "key F-1Mx 不存在");
    EXPECT_EQ(keyNotFoundText([&] { fc.currentRPM(7); }), "key F7Ac 不存在");
    EXPECT_EQ(keyNotFoundText([&] { fc.currentRPM(12); }), "key F12Ac 不存在");

    auto fans = fc.allFans();
    EXPECT_FALSE(fans[7].originalMnBytes);
    EXPECT_EQ(fans[7].currentRPM, 0);
    EXPECT_EQ(fans[7].acDataType, std::string(4, '\0'));  // a missing key reports type 0
    EXPECT_FALSE(fans[7].targetRPM);
    EXPECT_FALSE(fc.targetRPM(7));
    EXPECT_FALSE(fc.modeValue(7));
    EXPECT_FALSE(fc.hasModeKey(7));
}

TEST(FanControllerProfiles, ElevenFansLeaveTheLastWithoutKeys) {
    Emulator emu(R"(
"FNum" "ui8 " 1 0b
"F9Mn" "fpe2" 2 12c0
"F9Mx" "fpe2" 2 5dc0
"F9Ac" "fpe2" 2 1f40
)",
                 true);
    FanController fc(noRecord());
    ASSERT_EQ(fc.numberOfFans(), 11);
    auto fans = fc.liveFans();
    ASSERT_EQ(fans.size(), 11u);
    EXPECT_EQ(fans[9].maxRPM, 6000);
    EXPECT_GT(fans[9].currentRPM, 0);
    EXPECT_EQ(fans[10].name, "Fan 10");
    EXPECT_EQ(fans[10].minRPM, 0);
    EXPECT_EQ(fans[10].maxRPM, 0);
    EXPECT_EQ(fans[10].currentRPM, 0);
    EXPECT_EQ(fc.allFans()[10].acDataType, "?");  // F10Ac is not a valid key
}

TEST(FanControllerProfiles, FanCountIsRequired) {
    {
        Emulator emu("\"F0Ac\" \"fpe2\" 2 1f40\n", true);
        EXPECT_EQ(keyNotFoundText([] { FanController fc(noRecord()); }), "key FNum 不存在");
    }
    Emulator emu("\"FNum\" \"ui8 \" 1 00\n", true);
    FanController fc(noRecord());
    EXPECT_EQ(fc.numberOfFans(), 0);
    EXPECT_TRUE(fc.allFans().empty());
    EXPECT_TRUE(fc.liveFans().empty());
    EXPECT_EQ(fc.fanName(0), "Fan 0");
    EXPECT_NO_THROW(fc.restoreAllAuto());
}

// Exact values the emulator's physics would move: served by the in-process SMC.
class FanControllerFake : public ::testing::Test {
  protected:
    FakeSMC smc;
    void SetUp() override { smc.addKey("FNum", "ui8 ", {0x03}); }
};

TEST_F(FanControllerFake, CpuTemperatureTakesTheFirstKeyThatDecodes) {
    smc.addKey("TC0P", "sp78", {0x40}, 1);  // one byte: not an sp78 value
    smc.addKey("TC0D", "sp78", {0x30, 0x00});
    smc.failKey("TC0D", 5, static_cast<std::int32_t>(0xE00002BC));
    smc.addKey("TC0H", "ui8 ", {0x00, 0x00});  // decoded as sp78 whatever the type
    smc.addKey("TCAD", "sp78", {0x50, 0x00});
    smc.addKey("TG0P", "sp78", {0xFF, 0x80});
    FanController fc(noRecord());
    EXPECT_EQ(fc.cpuTemperature(), 0.0);
    EXPECT_EQ(fc.gpuTemperature(), -0.5);
}

TEST_F(FanControllerFake, CpuTemperatureFallsThroughToLaterKeys) {
    smc.addKey("TCBH", "sp78", {0x3A, 0x40});
    smc.addKey("TCAH", "sp78", {0x00, 0x00});
    smc.failKey("TCAH", 9, 5);
    FanController fc(noRecord());
    EXPECT_EQ(fc.cpuTemperature(), 58.25);
    EXPECT_FALSE(fc.gpuTemperature());
}

TEST_F(FanControllerFake, ModeBitAndForceFlag) {
    smc.addKey("F0Md", "ui8 ", {0x03});
    smc.addKey("F1Md", "ui8 ", {0x02});
    smc.addKey("FS! ", "ui16", {0x00, 0x03});
    smc.addKey("F0Ac", "fpe2", {0x1F, 0x40});
    smc.failKey("F1Ac", 9, 5);
    FanController fc(noRecord());
    auto live = fc.liveFans();
    EXPECT_TRUE(live[0].forced);
    EXPECT_FALSE(live[1].forced);
    EXPECT_FALSE(live[2].forced);
    auto all = fc.allFans();
    EXPECT_EQ(all[0].mdValue, 3);
    EXPECT_EQ(all[1].mdValue, 2);
    EXPECT_FALSE(all[2].hasMd);
    EXPECT_FALSE(all[2].mdValue);
    EXPECT_EQ(all[0].currentRPM, 2000);
    EXPECT_EQ(all[0].acDataType, "fpe2");
    EXPECT_EQ(all[1].acDataType, "?");
    EXPECT_EQ(fc.forceFlag(), std::make_pair(true, std::optional<std::uint8_t>(0)));
}
