// The driver model in process: which machines each driver serves, and what its files do
// with the machine's keys, including failures of the SMC.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "Codec.h"
#include "DriverModel.h"
#include "TestSupport.h"

namespace smcemu {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes keyBytes(test::ManualMachine& m, const std::string& key) {
    for (const Key& k : m->keysByIndex())
        if (k.name == key) return k.bytes;
    return {};
}

// The driver loads on any machine and checks a key's size, never its type: a speed key of
// another size, or a missing key, is EINVAL; a two-byte key of any type is read as fpe2.
TEST(DriverModelChecks, SizesDecideNotTypesAndMissingKeysAreInvalid) {
    test::ManualMachine recent(test::shippedProfile("recent-2fan.prof"));
    DriverModel mainline(*recent.machine, DriverVariant::Mainline);
    EXPECT_EQ(mainline.read("fan1_input").error, EINVAL);  // F0Ac is a four-byte float
    EXPECT_EQ(mainline.write("fan1_min", "2000", 0), EINVAL);
    EXPECT_EQ(mainline.read("fan1_label").error, EINVAL);   // no F0ID on this machine
    EXPECT_EQ(mainline.read("fan1_manual").error, EINVAL);  // nor "FS! "
    EXPECT_EQ(mainline.read("fan1_safe").bytes, "750\n");   // F0Sf: ui16 3000, read as fpe2

    test::ManualMachine older(test::shippedProfile("older-2fan.prof"));
    DriverModel t2(*older.machine, DriverVariant::T2);
    EXPECT_EQ(t2.read("fan2_min").bytes, "2000\n");  // fpe2 keys stay fpe2 on the patched one
    // Without mode keys the patched driver keeps the manual flags in "FS! ".
    ASSERT_EQ(t2.write("fan2_manual", "1", 0), 0);
    EXPECT_EQ(keyBytes(older, "FS! "), (Bytes{0x00, 0x02}));
    EXPECT_EQ(t2.read("fan2_manual").bytes, "1\n");

    test::ManualMachine odd(
        "\"FNum\" \"ui8 \" 1 01\n\"F0Mn\" \"ui16\" 2 1f40\n\"F0Mx\" \"fpe2\" 4 00005dc0\n"
        "\"F0ID\" \"{fds\" 20 00000000 4162636465666768696a6b6c6d6e6f70\n");
    DriverModel model(*odd.machine, DriverVariant::Mainline);
    EXPECT_EQ(model.read("fan1_min").bytes, "2000\n");
    ASSERT_EQ(model.write("fan1_min", "3000", 0), 0);
    EXPECT_EQ(keyBytes(odd, "F0Mn"), (Bytes{0x2e, 0xe0}));
    EXPECT_EQ(model.read("fan1_max").error, EINVAL);
    EXPECT_EQ(model.read("fan1_label").error, EINVAL);  // a record of 20 bytes, not 16
    EXPECT_EQ(model.read("fan1_output").error, EINVAL);
    EXPECT_EQ(model.write("fan1_output", "3000", 0), EINVAL);
}

// Speeds of 0x4000 rpm and more are refused; a label shows at most the 12 characters of a
// 16-byte record; the data of a key longer than a call's 32 bytes is read whole.
TEST(DriverModelChecks, SpeedLimitLabelLengthAndLongKeys) {
    test::ManualMachine m(
        "\"FNum\" \"ui8 \" 1 01\n\"F0Mn\" \"fpe2\" 2 1f40\n"
        "\"F0ID\" \"{fds\" 16 00000000 4162636465666768696a6b6c\n"
        "\"LONG\" \"ch8*\" 40 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
        "2021222324252627\n");
    DriverModel model(*m.machine, DriverVariant::Mainline);
    EXPECT_EQ(model.write("fan1_min", "16384", 0), EINVAL);
    EXPECT_EQ(keyBytes(m, "F0Mn"), (Bytes{0x1f, 0x40}));
    ASSERT_EQ(model.write("fan1_min", "16383", 0), 0);
    EXPECT_EQ(keyBytes(m, "F0Mn"), (Bytes{0xff, 0xfc}));
    EXPECT_EQ(model.read("fan1_label").bytes, "Abcdefghijkl\n");

    int index = 0;
    for (const Key& k : m->keysByIndex()) {
        if (k.name == "LONG") break;
        ++index;
    }
    ASSERT_EQ(model.write("key_at_index", std::to_string(index), 0), 0);
    EXPECT_EQ(model.read("key_at_index_data_length").bytes, "40\n");
    const std::string data = model.read("key_at_index_data").bytes;
    EXPECT_EQ(Bytes(data.begin(), data.end()), keyBytes(m, "LONG"));
}

TEST(DriverModelFiles, FanFilesPerFanAndTemperatureSensorsInIndexOrder) {
    test::ManualMachine m(test::shippedProfile("older-2fan.prof"));
    DriverModel model(*m.machine, DriverVariant::Mainline);
    ASSERT_NE(model.file("fan2_manual"), nullptr);
    EXPECT_TRUE(model.file("fan2_manual")->writable);
    EXPECT_FALSE(model.file("fan2_max")->writable);
    EXPECT_EQ(model.file("fan3_input"), nullptr);
    std::vector<std::string> labels;
    for (int n = 1; model.file("temp" + std::to_string(n) + "_label"); ++n)
        labels.push_back(model.read("temp" + std::to_string(n) + "_label").bytes);
    // Only "sp78" keys: not TC1C ("sp87") nor TM0P ("fp88").
    EXPECT_EQ(labels, (std::vector<std::string>{"TA0P\n", "TB0T\n", "TC0D\n", "TC0H\n", "TG0P\n",
                                                "TH0P\n", "TN0P\n"}));
    // This machine has no safe speed key.
    EXPECT_EQ(model.read("fan1_safe").error, EINVAL);
    EXPECT_EQ(model.read("fan1_label").bytes, "Left side  \n");

    // Only sp78 keys from "T" to "U" are sensors, numbered without gaps.
    test::ManualMachine mixed(
        "\"FNum\" \"ui8 \" 1 00\n\"TA0P\" \"sp78\" 2 1900\n\"TB0T\" \"flt \" 4 0000f041\n"
        "\"TC0P\" \"sp78\" 2 3080\n\"Ta0P\" \"fp88\" 2 1900\n\"U000\" \"sp78\" 2 1900\n");
    DriverModel sensors(*mixed.machine, DriverVariant::Mainline);
    EXPECT_EQ(sensors.read("temp1_label").bytes, "TA0P\n");
    EXPECT_EQ(sensors.read("temp2_label").bytes, "TC0P\n");
    EXPECT_EQ(sensors.read("temp2_input").error, 0);
    EXPECT_EQ(sensors.file("temp3_label"), nullptr);
}

TEST(DriverModelFaults, FailingSmcGivesEioAndAFailedReadWritesNothing) {
    test::ManualMachine m(test::shippedProfile("older-2fan.prof"));
    DriverModel model(*m.machine, DriverVariant::Mainline);
    ASSERT_EQ(m->control("fault F0Mn read e00002c1"), "OK F0Mn read e00002c1");
    EXPECT_EQ(model.read("fan1_min").error, EIO);
    EXPECT_EQ(model.read("fan2_min").bytes, "2000\n");

    ASSERT_EQ(m->control("fault \"FS! \" read e00002bc").rfind("OK", 0), 0u);
    EXPECT_EQ(model.write("fan1_manual", "1", 0), EIO);
    EXPECT_EQ(m->control("get \"FS! \""), "OK ui16 2 0000");
    std::string trace = m->control("trace");
    EXPECT_EQ(trace.find(":write:"), std::string::npos) << trace;

    ASSERT_EQ(m->control("fault F1Mn write e00002c1").rfind("OK", 0), 0u);
    EXPECT_EQ(model.write("fan2_min", "3000", 0), EIO);
}

TEST(DriverModelT2, SpeedsAreFloatsAndManualIsTheFansModeKey) {
    test::ManualMachine m(test::shippedProfile("recent-2fan.prof"));
    DriverModel model(*m.machine, DriverVariant::T2);
    EXPECT_EQ(model.read("fan1_min").bytes, "1200\n");
    EXPECT_EQ(model.read("fan2_max").bytes, "6200\n");

    ASSERT_EQ(model.write("fan1_output", "2500\n", 0), 0);
    EXPECT_EQ(codec::decode(keyBytes(m, "F0Tg"), "flt "), 2500.0);
    EXPECT_EQ(model.write("fan1_output", "16384", 0), EINVAL);

    ASSERT_EQ(model.write("fan2_manual", "1", 0), 0);
    EXPECT_EQ(keyBytes(m, "F1Md"), Bytes{1});
    EXPECT_EQ(keyBytes(m, "F0Md"), Bytes{0});
    EXPECT_EQ(model.read("fan2_manual").bytes, "1\n");
    EXPECT_EQ(model.read("fan1_manual").bytes, "0\n");
    ASSERT_EQ(model.write("fan2_manual", "0", 0), 0);
    EXPECT_EQ(keyBytes(m, "F1Md"), Bytes{0});
    // The driver stores value & 1 and shows the byte as it is.
    ASSERT_EQ(model.write("fan2_manual", "2", 0), 0);
    EXPECT_EQ(keyBytes(m, "F1Md"), Bytes{0});
    ASSERT_EQ(m->control("set F1Md 03").rfind("OK", 0), 0u);
    EXPECT_EQ(model.read("fan2_manual").bytes, "3\n");
    ASSERT_EQ(model.write("fan2_manual", "0", 0), 0);
    // The forced target now drives the fan.
    ASSERT_EQ(model.write("fan1_manual", "1", 0), 0);
    m.passSeconds(60);
    EXPECT_EQ(model.read("fan1_input").bytes, "2500\n");
}

// The hwmon layout: the key index stays in the device's directory, the fan and temperature
// files sit in hwmon/hwmonN/ (fanN_target, pwmN_enable: 1 manual, 2 automatic), and each wake
// creates that directory anew as hwmon(N+1), the old one gone with its files.
TEST(DriverModelHwmon, FanFilesSitInTheHwmonDeviceThatEachWakeCreatesAnew) {
    test::ManualMachine m(test::shippedProfile("older-2fan.prof"));
    DriverModel model(*m.machine, DriverVariant::Mainline, DriverLayout::Hwmon);
    auto names = [&](std::string_view dir) {
        std::vector<std::string> found;
        for (const DriverModel::Entry& e : model.list(dir))
            found.push_back(e.name + (e.directory ? "/" : ""));
        return found;
    };
    EXPECT_EQ(names("hwmon"), std::vector<std::string>{"hwmon0/"});
    const std::vector<std::string> top = names("");
    EXPECT_NE(std::find(top.begin(), top.end(), "key_count"), top.end());
    EXPECT_NE(std::find(top.begin(), top.end(), "hwmon/"), top.end());
    EXPECT_EQ(model.read("fan1_input").error, ENOENT);
    EXPECT_EQ(model.read("hwmon/hwmon0/fan1_output").error, ENOENT);
    EXPECT_EQ(model.read("hwmon/hwmon0/name").bytes, "applesmc\n");
    EXPECT_EQ(model.read("hwmon/hwmon0/temp1_label").bytes, "TA0P\n");

    const std::string hw = "hwmon/hwmon0/";
    ASSERT_EQ(model.write(hw + "fan1_min", "3000", 0), 0);
    ASSERT_EQ(model.write(hw + "fan2_target", "4000", 0), 0);
    ASSERT_EQ(model.write(hw + "pwm2_enable", "1", 0), 0);
    EXPECT_EQ(keyBytes(m, "FS! "), (Bytes{0x00, 0x02}));
    EXPECT_EQ(model.read(hw + "pwm2_enable").bytes, "1\n");
    EXPECT_EQ(model.read(hw + "pwm1_enable").bytes, "2\n");
    for (const char* mode : {"0", "3"})
        EXPECT_EQ(model.write(hw + "pwm1_enable", mode, 0), EINVAL) << mode;
    EXPECT_EQ(model.write(hw + "pwm2_enable", "1", 1000), EACCES);
    m.passSeconds(30);
    EXPECT_EQ(model.read(hw + "fan2_input").bytes, "4000\n");

    ASSERT_EQ(m->control("sleep 30").rfind("OK ", 0), 0u);
    EXPECT_FALSE(model.isDirectory("hwmon/hwmon0"));
    EXPECT_EQ(model.file(hw + "fan1_min"), nullptr);
    EXPECT_EQ(model.read(hw + "fan1_input").error, ENOENT);
    EXPECT_EQ(model.write(hw + "fan1_min", "3000", 0), ENOENT);
    EXPECT_EQ(names("hwmon"), std::vector<std::string>{"hwmon1/"});
    // The new files show the fans as the SMC left them on the wake.
    EXPECT_EQ(model.read("hwmon/hwmon1/fan1_min").bytes, "2000\n");
    EXPECT_EQ(model.read("hwmon/hwmon1/pwm2_enable").bytes, "2\n");
    EXPECT_EQ(model.read("key_count").error, 0);
}

TEST(DriverModelIndex, OneSelectionForAllCallersAndOnlyRootSelects) {
    test::ManualMachine m(test::shippedProfile("single-fan.prof"));
    DriverModel model(*m.machine, DriverVariant::Mainline);
    ASSERT_EQ(model.write("key_at_index", "3", 0, 100), 0);
    EXPECT_EQ(model.read("key_at_index", 200).bytes, "3\n");
    std::string name = model.read("key_at_index_name", 200).bytes;
    EXPECT_EQ(model.write("key_at_index", "1", 1000, 300), EACCES);
    EXPECT_EQ(model.read("key_at_index_name", 100).bytes, name);
    EXPECT_EQ(model.write("key_count", "1", 0), EACCES);
    EXPECT_EQ(model.read("no_such_file").error, ENOENT);
}

}  // namespace
}  // namespace smcemu
