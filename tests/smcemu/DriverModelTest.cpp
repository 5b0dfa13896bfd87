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

TEST(DriverModelFit, EachDriverServesOnlyTheMachinesItCanEncode) {
    struct Case {
        const char* profile;
        DriverVariant variant;
        const char* refusal;  // part of the message, or nullptr when the driver fits
    };
    const Case cases[] = {
        {"older-2fan.prof", DriverVariant::Mainline, nullptr},
        {"single-fan.prof", DriverVariant::Mainline, nullptr},
        {"recent-2fan.prof", DriverVariant::T2, nullptr},
        {"recent-2fan.prof", DriverVariant::Mainline, "F0Ac is of type \"flt \""},
        {"older-2fan.prof", DriverVariant::T2, "F0Ac is of type \"fpe2\""},
        {"odd-cases.prof", DriverVariant::Mainline, "F0Ac is of type \"flt \""},
        {"odd-cases.prof", DriverVariant::T2, "F2Ac is of type \"fpe2\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        test::ManualMachine m(test::shippedProfile(c.profile));
        if (!c.refusal) {
            EXPECT_NO_THROW(DriverModel(*m.machine, c.variant));
            continue;
        }
        try {
            DriverModel model(*m.machine, c.variant);
            ADD_FAILURE() << "accepted";
        } catch (const DriverError& e) {
            EXPECT_NE(std::strstr(e.what(), c.refusal), nullptr) << e.what();
        }
    }
    // Speeds alone do not decide: manual control needs the driver's own manual keys.
    test::ManualMachine withMode(
        "\"FNum\" \"ui8 \" 1 01\n\"F0Mn\" \"fpe2\" 2 1f40\n"
        "\"F0Md\" \"ui8 \" 1 00\n");
    EXPECT_THROW(DriverModel(*withMode.machine, DriverVariant::Mainline), DriverError);
    test::ManualMachine withoutMode("\"FNum\" \"ui8 \" 1 01\n\"F0Mn\" \"flt \" 4 00009644\n");
    EXPECT_THROW(DriverModel(*withoutMode.machine, DriverVariant::T2), DriverError);
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
    EXPECT_EQ(labels, (std::vector<std::string>{"TA0P\n", "TB0T\n", "TC0D\n", "TC0H\n", "TG0P\n",
                                                "TN0P\n"}));
    // This machine has no safe speed key.
    EXPECT_EQ(model.read("fan1_safe").error, EIO);
    EXPECT_EQ(model.read("fan1_label").bytes, "Left side  \n");
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
    EXPECT_EQ(model.write("fan1_output", "16385", 0), EINVAL);

    ASSERT_EQ(model.write("fan2_manual", "1", 0), 0);
    EXPECT_EQ(keyBytes(m, "F1Md"), Bytes{1});
    EXPECT_EQ(keyBytes(m, "F0Md"), Bytes{0});
    EXPECT_EQ(model.read("fan2_manual").bytes, "1\n");
    EXPECT_EQ(model.read("fan1_manual").bytes, "0\n");
    ASSERT_EQ(model.write("fan2_manual", "0", 0), 0);
    EXPECT_EQ(keyBytes(m, "F1Md"), Bytes{0});
    // The forced target now drives the fan.
    ASSERT_EQ(model.write("fan1_manual", "1", 0), 0);
    m.passSeconds(60);
    EXPECT_EQ(model.read("fan1_input").bytes, "2500\n");
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
