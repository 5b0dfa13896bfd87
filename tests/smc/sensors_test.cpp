// The temperature sensors as the hardware layer finds them: the types that hold a
// temperature and the placeholders, the key index as the SMC takes it, and every sensor of
// a machine found once per controller.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "Emulator.h"
#include "FakeSMC.h"
#include "FanController.h"
#include "SMCCodec.h"
#include "SensorNames.h"
#include "TempRecord.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string kSensorProfile = std::string(ORVANE_SOURCE_DIR) + "/tests/support/sensors.prof";

}  // namespace

TEST(SensorCodec, EveryTemperatureTypeDecodesAndOthersDoNot) {
    struct Case {
        const char* type;
        Bytes bytes;
        std::optional<double> value;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"sp78", {0x2D, 0x80}, 45.5},
        {"sp78", {0xFF, 0x80}, -0.5},
        {"sp87", {0x2D, 0x80}, 91.0},
        {"sp96", {0x2D, 0x80}, 182.0},
        {"sp69", {0x0C, 0x80}, 6.25},
        {"spa5", {0x02, 0x40}, 18.0},
        {"sp1e", {0xC0, 0x00}, -1.0},
        {"fp88", {0x96, 0x40}, 150.25},
        {"fp79", {0x96, 0x40}, 75.125},
        {"fpe2", {0x12, 0xC0}, 1200.0},
        {"flt ", {0x00, 0x00, 0x36, 0x42}, 45.5},
        {"flt ", {0x00, 0x00, 0xC0, 0x7F}, nan},
        // Sums of bits that fit no 16-bit layout, other types, other case, too few bytes.
        {"sp88", {0x2D, 0x80}, {}},
        {"fpe1", {0x2D, 0x80}, {}},
        {"SP78", {0x2D, 0x80}, {}},
        {"sp7g", {0x2D, 0x80}, {}},
        {"ui16", {0x00, 0x1E}, {}},
        {"flt", {0, 0, 0x36, 0x42}, {}},
        {"sp78", {0x2D}, {}},
        {"flt ", {0, 0, 0x36}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("type \"") + c.type + "\"");
        const auto value = SMCCodec::decodeTemperature(c.bytes, c.type);
        ASSERT_EQ(value.has_value(), c.value.has_value());
        if (!value) continue;
        if (std::isnan(*c.value))
            EXPECT_TRUE(std::isnan(*value));
        else
            EXPECT_EQ(*value, *c.value);
    }
}

TEST(SensorCodec, PlaceholdersAreTheNoReadingPatternsOnly) {
    struct Case {
        const char* type;
        Bytes bytes;
        bool placeholder;
    };
    const Case cases[] = {
        {"sp78", {0x00, 0x00}, true},
        {"sp78", {0xFF, 0xFF}, true},
        {"sp78", {0x80, 0x00}, true},
        {"sp78", {0x7F, 0xFF}, true},
        {"sp87", {0x7F, 0xFF}, true},
        {"fp88", {0x00, 0x00}, true},
        {"flt ", {0, 0, 0, 0}, true},
        {"flt ", {0x00, 0x00, 0x80, 0x7F}, true},  // +inf
        {"flt ", {0xFF, 0xFF, 0xFF, 0xFF}, true},
        // Real readings, also the smallest steps next to the patterns.
        {"sp78", {0x00, 0x01}, false},
        {"sp78", {0x7F, 0xFE}, false},
        {"sp78", {0x81, 0x00}, false},  // -127: implausible, but a reading
        {"fp88", {0x7F, 0xFF}, false},  // unsigned: the signed extremes mean nothing
        {"flt ", {0x00, 0x00, 0x36, 0x42}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + hexString(c.bytes));
        EXPECT_EQ(SMCCodec::isPlaceholder(c.bytes, c.type), c.placeholder);
    }
}

TEST(SensorNames, WellKnownKeysAndNumberedCores) {
    EXPECT_EQ(sensorName("TC0P"), "CPU 近端");
    EXPECT_EQ(sensorName("Ts0P"), "掌托");
    EXPECT_EQ(sensorName("TC3C"), "CPU 核心 3");
    EXPECT_EQ(sensorName("Tm0P"), "主板");
    // Case matters in SMC keys; unknown keys have no name.
    EXPECT_EQ(sensorName("tc0p"), "");
    EXPECT_EQ(sensorName("TCXX"), "");
    EXPECT_EQ(sensorName("TC0"), "");
}

// The index as the SMC takes it: "#KEY" as a big-endian ui32, then command 8 with the
// position in the 32-bit field at offset 44 and no key; the name comes back in the key field.
// The hardware layer hands IOKit these same blocks on a Mac.
TEST(SensorIndex, IndexCallsCarryThePositionAndReturnTheName) {
    FakeSMC smc;
    smc.addKey("#KEY", "ui32", {0x00, 0x00, 0x00, 0x03});
    smc.addKey("TC0P", "sp78", {0x2D, 0x80});
    smc.addKey("FNum", "ui8 ", {0x00});
    SMCConnection conn;
    EXPECT_EQ(conn.keyCount(), 3u);
    smc.clearBlocks();
    EXPECT_EQ(conn.keyAtIndex(2), "TC0P");  // "#KEY" < "FNum" < "TC0P"
    ASSERT_EQ(smc.blocks().size(), 1u);
    FakeSMC::Block expected{};
    expected[42] = 8;
    expected[44] = 2;
    EXPECT_EQ(smc.blocks()[0], expected);
    EXPECT_EQ(conn.keyAtIndex(0), "#KEY");
    try {
        conn.keyAtIndex(3);
        ADD_FAILURE() << "no key at position 3";
    } catch (const SMCError& e) {
        EXPECT_EQ(e.kind(), SMCError::Kind::keyNotFound);
    }
    // A failing index call is a failed call of command 8.
    smc.failKey(std::string(4, '\0'), 8, static_cast<std::int32_t>(0xE00002BC));
    try {
        conn.keyAtIndex(0);
        ADD_FAILURE() << "the call failed";
    } catch (const SMCError& e) {
        EXPECT_EQ(e.kind(), SMCError::Kind::callFailed);
        EXPECT_EQ(e.cmd(), SMCCommand::readIndex);
    }
}

TEST(SensorIndex, WithoutAKeyCountTheSensorsCannotBeListed) {
    FakeSMC smc;
    smc.addKey("FNum", "ui8 ", {0x00});
    smc.addKey("TC0P", "sp78", {0x2D, 0x80});
    FanController fc(noRecord());
    EXPECT_THROW(fc.temperatureSensors(), SMCError);
    // The temperatures read by name stay available.
    EXPECT_EQ(fc.cpuTemperature(), 45.5);
}

TEST(SensorIndex, EveryTypeFoundPlaceholdersCountedAndTheIndexWalkedOnce) {
    Emulator emu(kSensorProfile);
    ASSERT_EQ(emu.control("clock freeze").rfind("OK", 0), 0u);
    FanController fc(noRecord());
    const SensorReadings first = fc.temperatureSensors();
    struct Expected {
        const char* key;
        const char* name;
        double celsius;
    };
    const std::vector<Expected> expected = {
        {"TA0P", "环境", 30},           {"TB1T", "电池 1", 36},       {"TC0P", "CPU 近端", 50},
        {"TC1C", "CPU 核心 1", 50},     {"TG0D", "GPU 芯片", 46},     {"TM0P", "内存近端", 36},
        {"TPCD", "平台控制器芯片", 36}, {"TW0P", "无线网卡近端", 36}, {"TZ9P", "", 36},
    };
    ASSERT_EQ(first.sensors.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(first.sensors[i].key, expected[i].key);
        EXPECT_EQ(first.sensors[i].name, expected[i].name);
        EXPECT_NEAR(first.sensors[i].celsius, expected[i].celsius, 1e-6) << expected[i].key;
    }
    // TB0T (-40), TH0P (0), TI0P (all bits set), TL0P (-127), TN0P (largest), TS0H (150).
    EXPECT_EQ(first.leftOut, 6);

    // The list is kept: later readings read the sensors and nothing else.
    const std::string calls = emu.control("calls").substr(3);
    emu.control("set TC1C 1a00");  // 52 in sp87
    const SensorReadings second = fc.temperatureSensors();
    EXPECT_EQ(second.sensors[3].celsius, 52);
    const std::string trace = emu.control("trace " + calls);
    EXPECT_EQ(trace.find(":index:"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("#KEY"), std::string::npos) << trace;
    EXPECT_EQ(trace.find(":info:"), std::string::npos) << trace;
}
