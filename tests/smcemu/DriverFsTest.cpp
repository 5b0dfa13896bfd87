// The driver's files as programs see them: a real smcemu mounts them where each driver's
// kernel has them (the patched driver's on the ACPI device) in a private mount namespace, and
// the tests read and write them as files, as root and as nobody.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "Codec.h"
#include "DriverTree.h"
#include "Emulator.h"
#include "Profile.h"

namespace smcemu {
namespace {

constexpr uid_t kNobody = 65534;

class DriverFs : public testing::Test {
  protected:
    void SetUp() override {
        if (!DriverTree::fuseAvailable()) GTEST_SKIP() << "no /dev/fuse";
        ASSERT_TRUE(ns.ok()) << ns.error();
    }
    // The emulator ends cleanly (no sanitizer report) with its files in use.
    void TearDown() override {
        if (!tree || !tree->ok()) return;
        EXPECT_EQ(tree->stop(), 0) << tree->log();
    }
    // Starts the tree; false (with a failure) when it does not come up.
    bool mount(const std::string& profile, const std::string& driver = "mainline") {
        tree = std::make_unique<DriverTree>(ns, Emulator::shippedProfile(profile), driver);
        EXPECT_TRUE(tree->ok()) << tree->error();
        return tree->ok();
    }
    std::string text(const std::string& file, uid_t uid = 0) {
        DriverTree::Result r = tree->read(file, uid);
        EXPECT_EQ(r.error, 0) << file;
        return r.text;
    }

    PrivateTmp ns;
    std::unique_ptr<DriverTree> tree;
};

TEST_F(DriverFs, IndexWalkGivesTheSortedKeysWithTheEmulatorsBytes) {
    ASSERT_TRUE(mount("older-2fan.prof"));
    ASSERT_EQ(tree->control("clock freeze").rfind("OK", 0), 0u);
    std::vector<ProfileKey> keys = loadProfile(Emulator::shippedProfile("older-2fan.prof")).keys;
    std::sort(keys.begin(), keys.end(),
              [](const ProfileKey& a, const ProfileKey& b) { return a.name < b.name; });
    ASSERT_EQ(text("key_count"), std::to_string(keys.size()) + "\n");
    for (size_t i = 0; i < keys.size(); ++i) {
        SCOPED_TRACE(keys[i].name);
        ASSERT_EQ(tree->write("key_at_index", std::to_string(i) + "\n"), 0);
        EXPECT_EQ(text("key_at_index_name"), keys[i].name + "\n");
        EXPECT_EQ(text("key_at_index_type"), keys[i].type + "\n");
        EXPECT_EQ(text("key_at_index_data_length"), std::to_string(keys[i].value.size()) + "\n");
        std::string data = text("key_at_index_data");
        EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.end()), tree->value(keys[i].name));
    }
    // The selection is the machine's: another process, another user, sees it.
    EXPECT_EQ(text("key_at_index", kNobody), std::to_string(keys.size() - 1) + "\n");
}

TEST_F(DriverFs, FanMinimumTakesRootsWholeRpmAsFpe2AndRefusesNobody) {
    ASSERT_TRUE(mount("older-2fan.prof"));
    ASSERT_EQ(tree->write("fan1_min", "3000\n"), 0);
    EXPECT_EQ(tree->value("F0Mn"), (std::vector<uint8_t>{0x2e, 0xe0}));
    EXPECT_EQ(text("fan1_min", kNobody), "3000\n");

    EXPECT_EQ(tree->write("fan1_min", "2500\n", kNobody), EACCES);
    EXPECT_EQ(tree->write("fan2_output", "2500\n", kNobody), EACCES);
    EXPECT_EQ(tree->write("fan1_manual", "1\n", kNobody), EACCES);
    EXPECT_EQ(tree->value("F0Mn"), (std::vector<uint8_t>{0x2e, 0xe0}));
    EXPECT_EQ(tree->value("FS! "), (std::vector<uint8_t>{0, 0}));

    // A raised minimum is what forces a fan on this machine.
    ASSERT_EQ(tree->control("clock step 30").rfind("OK", 0), 0u);
    EXPECT_EQ(text("fan1_input"), "3000\n");
}

TEST_F(DriverFs, ManualFlagIsOneBitOfTheWordAndLeavesTheOthers) {
    ASSERT_TRUE(mount("older-2fan.prof"));
    ASSERT_EQ(tree->control("set \"FS! \" 8001"), "OK");
    EXPECT_EQ(text("fan1_manual"), "1\n");
    EXPECT_EQ(text("fan2_manual"), "0\n");
    ASSERT_EQ(tree->write("fan2_manual", "1\n"), 0);
    EXPECT_EQ(tree->value("FS! "), (std::vector<uint8_t>{0x80, 0x03}));
    ASSERT_EQ(tree->write("fan1_manual", "0"), 0);
    EXPECT_EQ(tree->value("FS! "), (std::vector<uint8_t>{0x80, 0x02}));
    EXPECT_EQ(text("fan1_manual"), "0\n");
    EXPECT_EQ(text("fan2_manual"), "1\n");
}

TEST_F(DriverFs, TemperaturesAreMillidegreesByKeyName) {
    ASSERT_TRUE(mount("older-2fan.prof"));
    ASSERT_EQ(tree->control("clock freeze").rfind("OK", 0), 0u);
    ASSERT_EQ(tree->control("set TC0D 3a 80"), "OK");  // 58.5 degrees
    bool seen = false;
    for (int n = 1; n <= 6; ++n) {
        std::string label = text("temp" + std::to_string(n) + "_label");
        ASSERT_EQ(label.size(), 5u);
        std::string key = label.substr(0, 4);
        std::optional<double> degrees = codec::decode(tree->value(key), "sp78");
        ASSERT_TRUE(degrees);
        long milli = std::stol(text("temp" + std::to_string(n) + "_input"));
        // Whole quarter degrees, never above the key's value.
        EXPECT_EQ(milli % 250, 0) << key;
        EXPECT_LE(milli, *degrees * 1000) << key;
        EXPECT_GT(milli, *degrees * 1000 - 250) << key;
        if (key == "TC0D") {
            EXPECT_EQ(milli, 58500);
            seen = true;
        }
    }
    EXPECT_TRUE(seen);
}

TEST_F(DriverFs, BadInputIsRefusedAndChangesNothing) {
    ASSERT_TRUE(mount("older-2fan.prof"));
    std::vector<uint8_t> before = tree->value("F0Mn");
    for (const char* input :
         {"abc", "-1", " 3000", "3000 ", "3000\n\n", "16384", "0x100", "99999999999999999999"})
        EXPECT_EQ(tree->write("fan1_min", input), EINVAL) << '"' << input << '"';
    EXPECT_EQ(tree->value("F0Mn"), before);
    EXPECT_EQ(tree->write("fan1_manual", "on"), EINVAL);
    std::string count = text("key_count");
    count.pop_back();                                       // its line feed
    EXPECT_EQ(tree->write("key_at_index", count), EINVAL);  // one past the last key
    EXPECT_EQ(text("key_at_index"), "0\n");
    // Files without a store refuse writing even to root.
    EXPECT_EQ(tree->write("fan1_max", "5000"), EACCES);
    EXPECT_EQ(tree->write("key_count", "1"), EACCES);
    EXPECT_EQ(tree->read("fan9_min").error, ENOENT);
}

TEST_F(DriverFs, T2DriverWritesFloatSpeedsAndTheModeKey) {
    ASSERT_TRUE(mount("recent-2fan.prof", "t2"));
    ASSERT_EQ(tree->write("fan2_min", "1800"), 0);
    EXPECT_EQ(codec::decode(tree->value("F1Mn"), "flt "), 1800.0);
    ASSERT_EQ(tree->write("fan1_manual", "1"), 0);
    EXPECT_EQ(tree->value("F0Md"), std::vector<uint8_t>{1});
    EXPECT_EQ(text("fan2_min", kNobody), "1800\n");
}

// On the patched driver the SMC taking a fan back shows as fanN_manual 0; an output written
// then is stored but does not force the fan, until manual is set again.
TEST_F(DriverFs, T2FanTheSmcTookBackIgnoresItsOutputUntilManualAgain) {
    ASSERT_TRUE(mount("recent-2fan.prof", "t2"));
    ASSERT_EQ(tree->control("clock freeze").rfind("OK", 0), 0u);
    ASSERT_EQ(tree->write("fan1_manual", "1"), 0);
    ASSERT_EQ(tree->write("fan1_output", "4000"), 0);
    ASSERT_EQ(tree->control("clock step 30").rfind("OK", 0), 0u);
    ASSERT_EQ(text("fan1_input"), "4000\n");

    ASSERT_EQ(tree->control("takeback 0").rfind("OK", 0), 0u);
    EXPECT_EQ(text("fan1_manual"), "0\n");
    EXPECT_EQ(text("fan1_manual", kNobody), "0\n");
    EXPECT_EQ(tree->write("fan1_output", "3000"), 0);
    ASSERT_EQ(tree->control("clock step 30").rfind("OK", 0), 0u);
    EXPECT_EQ(text("fan1_input"), text("fan1_min"));

    ASSERT_EQ(tree->write("fan1_manual", "1"), 0);
    ASSERT_EQ(tree->write("fan1_output", "3000"), 0);
    ASSERT_EQ(tree->control("clock step 30").rfind("OK", 0), 0u);
    EXPECT_EQ(text("fan1_input"), "3000\n");
}

// Any machine loads, as the driver does; what the driver refuses reaches the files' callers.
TEST_F(DriverFs, TheDriversRefusalsReachTheFilesAsItsErrors) {
    ASSERT_TRUE(mount("recent-2fan.prof", "mainline"));
    EXPECT_EQ(tree->read("fan1_input").error, EINVAL);  // a float key, read as two bytes
    EXPECT_EQ(tree->write("fan1_min", "2000"), EINVAL);
    EXPECT_EQ(tree->read("fan1_label").error, EINVAL);  // no such key
    EXPECT_EQ(text("fan1_safe", kNobody), "750\n");
}

}  // namespace
}  // namespace smcemu
