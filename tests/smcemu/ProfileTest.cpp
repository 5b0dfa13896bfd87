#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Machine.h"
#include "Profile.h"
#include "TestSupport.h"
#include "ThermalModel.h"

namespace smcemu {
namespace {

TEST(ProfileParse, ReadsKeysParametersAndComments) {
    Profile p = parseProfile(
        "# a comment\n"
        "\n"
        "@ambient 22.5\n"
        "  \"FNum\" \"ui8 \" 1 02   # two fans\n"
        "\"FS! \" \"ui16\" 2 00 01\r\n"
        "\"F0Id\" \"ch8*\" 6 0500 00 00 52 69\n"
        "\"Zero\" \"ui8 \" 0\n",
        "m.prof");
    ASSERT_EQ(p.keys.size(), 4u);
    EXPECT_EQ(p.keys[0].name, "FNum");
    EXPECT_EQ(p.keys[0].type, "ui8 ");
    EXPECT_EQ(p.keys[0].value, std::vector<uint8_t>{2});
    EXPECT_EQ(p.keys[0].line, 4);
    EXPECT_EQ(p.keys[1].name, "FS! ");
    EXPECT_EQ(p.keys[1].value, (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(p.keys[2].value, (std::vector<uint8_t>{5, 0, 0, 0, 0x52, 0x69}));
    EXPECT_TRUE(p.keys[3].value.empty());
    ASSERT_EQ(p.parameters.size(), 1u);
    EXPECT_EQ(p.parameters[0].name, "ambient");
    EXPECT_DOUBLE_EQ(p.parameters[0].value, 22.5);
}

struct BadLine {
    const char* text;
    const char* message;  // expected inside the error
};

class ProfileErrors : public testing::TestWithParam<BadLine> {};

// Every bad entry sits on line 3, after a comment and a good key.
TEST_P(ProfileErrors, NameTheFileAndLine) {
    std::string text = std::string("# header\n\"FNum\" \"ui8 \" 1 01\n") + GetParam().text + "\n";
    try {
        parseProfile(text, "bad.prof");
        FAIL() << "accepted: " << GetParam().text;
    } catch (const ProfileError& e) {
        std::string what = e.what();
        EXPECT_EQ(what.rfind("bad.prof:3: ", 0), 0u) << what;
        EXPECT_NE(what.find(GetParam().message), std::string::npos) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachClass, ProfileErrors,
    testing::Values(BadLine{"FNum \"ui8 \" 1 01", "double quotes"},
                    BadLine{"\"FNu\" \"ui8 \" 1 01", "exactly four characters"},
                    BadLine{"\"F0Ac \" \"flt \" 4 00000000", "exactly four characters"},
                    BadLine{"\"F0Ac\" \"flt\" 4 00000000", "exactly four characters"},
                    BadLine{"\"F0Ac\" \"flt  4 00000000", "missing closing quote after the type"},
                    BadLine{"\"F0Ac", "missing closing quote"},
                    BadLine{"\"F0Ac\" \"flt \"", "missing the size"},
                    BadLine{"\"F0Ac\" \"flt \" four 00000000", "not a decimal number"},
                    BadLine{"\"F0Ac\" \"flt \" 256 00", "larger than 255"},
                    BadLine{"\"F0Ac\" \"flt \" 4 000000", "does not match the 3 value bytes"},
                    BadLine{"\"F0Ac\" \"flt \" 2 000000", "does not match the 3 value bytes"},
                    BadLine{"\"F0Ac\" \"flt \" 4 000 00000", "odd number of digits"},
                    BadLine{"\"F0Ac\" \"flt \" 4 0000zz00", "not hexadecimal"},
                    BadLine{"\"FNum\" \"ui8 \" 1 02", "already defined on line 2"},
                    BadLine{"\"F\tAc\" \"flt \" 4 00000000", "not printable"},
                    BadLine{"@", "missing the parameter name"},
                    BadLine{"@Ambient 20", "lower-case"}, BadLine{"@ambient", "missing the value"},
                    BadLine{"@ambient warm", "not a finite number"},
                    BadLine{"@ambient 1e999", "not a finite number"},
                    BadLine{"@ambient 20 21", "unexpected text"}));

TEST(ProfileParse, RepeatedParameterNamesTheFirstLine) {
    EXPECT_THROW(
        {
            try {
                parseProfile("@load 0.2\n@load 0.3\n", "p");
            } catch (const ProfileError& e) {
                EXPECT_STREQ(e.what(), "p:2: parameter load is already set on line 1");
                throw;
            }
        },
        ProfileError);
}

TEST(ProfileParameters, UnknownOrOutOfRangeNameTheirLine) {
    auto messageOf = [](const char* text) -> std::string {
        try {
            modelParams(parseProfile(text, "p"));
        } catch (const ProfileError& e) {
            return e.what();
        }
        return "accepted";
    };
    EXPECT_EQ(messageOf("\n@ambeint 20\n"), "p:2: unknown parameter @ambeint");
    EXPECT_EQ(messageOf("@load 1.5\n"), "p:1: parameter @load must lie in [0, 1]");
    EXPECT_EQ(messageOf("@fan_tau 0\n"), "p:1: parameter @fan_tau must lie in [0.01, 3600]");
    EXPECT_NE(messageOf("@auto_low 80\n@auto_high 70\n").find("@auto_high"), std::string::npos);
    EXPECT_EQ(messageOf("@load 0.5\n@thermal_tau 3\n"), "accepted");
}

TEST(ProfileLoad, MissingFileIsAProfileError) {
    EXPECT_THROW(loadProfile("/nonexistent/dir/x.prof"), ProfileError);
}

// Every shipped profile parses and builds a machine that has fans and a CPU temperature.
TEST(ShippedProfiles, AllLoadIntoAMachine) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(SMCEMU_PROFILE_DIR)) {
        if (entry.path().extension() != ".prof") continue;
        SCOPED_TRACE(entry.path().string());
        ++count;
        Profile profile = loadProfile(entry.path().string());
        test::ManualMachine m(profile);
        EXPECT_TRUE(m->fanRpm(0).has_value());
        double cpu = m->cpuTemperature();
        EXPECT_GT(cpu, 40);
        EXPECT_LT(cpu, 60);
    }
    EXPECT_GE(count, 4);
}

}  // namespace
}  // namespace smcemu
