// orvtool on the driver model, as root and as nobody: reading the machine on each driver and
// profile the driver can serve, forcing by a raised minimum and handing back on the mainline
// driver (machines without mode keys), and the clear refusal of mode keys on the patched one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "DriverMachine.h"

namespace drivertest {
namespace {

struct Fan {
    std::string name;
    int min, max;
};

struct Model {
    const char* profile;
    const char* driver;
    std::vector<Fan> fans;
    int force;  // a speed fan 0 can be forced to
};

void PrintTo(const Model& model, std::ostream* os) {
    *os << model.profile << " on " << model.driver;
}

// fpe2 bytes of a whole rpm, as hex: 16-bit big-endian, rpm × 4.
std::string fpe2(int rpm) {
    const unsigned raw = static_cast<unsigned>(rpm) * 4;
    return hexString({static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)});
}

std::string modelName(const testing::TestParamInfo<Model>& info) {
    std::string name = std::string(info.param.profile) + "_" + info.param.driver;
    for (char& c : name)
        if (c == '-' || c == '.') c = '_';
    return name;
}

const Model kOlder{
    "older-2fan.prof", "mainline", {{"Left side", 2000, 6000}, {"Right side", 2000, 6200}}, 3000};
const Model kSingle{"single-fan.prof", "mainline", {{"Exhaust", 1200, 2700}}, 2100};
const Model kRecent{"recent-2fan.prof", "t2", {{"Fan 0", 1200, 5700}, {"Fan 1", 1300, 6200}}, 3000};

class DriverRead : public DriverTest, public testing::WithParamInterface<Model> {};

TEST_P(DriverRead, InfoRpmAndWatchShowTheMachineToRootAndNobody) {
    const Model& model = GetParam();
    ASSERT_TRUE(mount(model.profile, model.driver));
    const bool modeKeys = std::string(model.driver) == "t2";
    // Handing back fans nobody forced succeeds and leaves the boot's record of minimums.
    const Output back = machine->tool({"auto"});
    EXPECT_EQ(back.status, 0) << back.text;
    ASSERT_FALSE(machine->ns().read("/run/orvane/fan-minimums").empty());
    for (uid_t uid : {uid_t(0), kNobody}) {
        SCOPED_TRACE(uid == 0 ? "root" : "nobody");
        const Output info = machine->tool({"info"}, uid);
        EXPECT_EQ(info.status, 0) << info.text;
        EXPECT_NE(info.text.find("风扇数: " + std::to_string(model.fans.size()) + "\n"),
                  std::string::npos)
            << info.text;
        std::string rpm, watchHeader = "时间(s)";
        for (std::size_t i = 0; i < model.fans.size(); ++i) {
            const Fan& fan = model.fans[i];
            const std::string range = std::to_string(fan.min) + " / " + std::to_string(fan.max);
            EXPECT_NE(info.text.find("— 风扇 " + std::to_string(i) + ": " + fan.name),
                      std::string::npos)
                << info.text;
            EXPECT_NE(info.text.find("    Min/Max: " + range + "\n"), std::string::npos)
                << info.text;
            rpm += std::to_string(fan.min) + "\n";  // idle, the clock frozen
            watchHeader += "  | Fan" + std::to_string(i) + "(" + std::to_string(fan.min) + "-" +
                           std::to_string(fan.max) + ")";
        }
        EXPECT_EQ(info.text.find("CPU 温度: (读不到)"), std::string::npos) << info.text;
        // The last line names the backend.
        ASSERT_GE(info.text.size(), std::string(kBackendLine).size());
        EXPECT_EQ(info.text.substr(info.text.size() - std::string(kBackendLine).size()),
                  kBackendLine)
            << info.text;
        // Root reads every key's type through the index, nobody from the list root left:
        // the mode keys decide the path, and the record root wrote fits the minimums.
        EXPECT_NE(info.text.find(modeKeys ? "→ 走新机型 Md+Tg 路径" : "→ 走老机型 Mn 路径"),
                  std::string::npos)
            << info.text;
        EXPECT_EQ(info.text.find("记录无效"), std::string::npos) << info.text;

        const Output speeds = machine->tool({"rpm"}, uid);
        EXPECT_EQ(speeds.status, 0);
        EXPECT_EQ(speeds.text, rpm);

        const Output watch = machine->tool({"watch", "1"}, uid);
        EXPECT_EQ(watch.status, 0) << watch.text;
        EXPECT_EQ(watch.text.rfind(watchHeader + "  | CPU℃  GPU℃\n", 0), 0u) << watch.text;
        std::string row;
        for (const Fan& fan : model.fans)
            row += "  | " + std::string(fan.min < 10000 ? " " : "") + std::to_string(fan.min);
        EXPECT_NE(watch.text.find("  0.0" + row + "  | "), std::string::npos) << watch.text;
        EXPECT_NE(watch.text.find("  1.0" + row + "  | "), std::string::npos) << watch.text;
    }
}

INSTANTIATE_TEST_SUITE_P(FittingProfiles, DriverRead, testing::Values(kOlder, kSingle, kRecent),
                         modelName);

// The mainline driver's machines have no mode keys: a fan is forced by a raised minimum,
// written through fan{N}_min, and handed back with the factory bytes from the boot's record.
class DriverForce : public DriverTest, public testing::WithParamInterface<Model> {};

TEST_P(DriverForce, RaisedMinimumForcesAndAutoInANewProcessWritesTheFactoryBytesBack) {
    const Model& model = GetParam();
    ASSERT_TRUE(mount(model.profile, model.driver));
    const std::string rpm = std::to_string(model.force);
    std::vector<std::string> factory;
    for (std::size_t i = 0; i < model.fans.size(); ++i)
        factory.push_back(machine->bytes("F" + std::to_string(i) + "Mn"));
    ASSERT_FALSE(factory[0].empty());

    const Output refused = machine->tool({"set", "0", rpm}, kNobody);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.text.find("普通用户权限不足"), std::string::npos) << refused.text;
    EXPECT_EQ(machine->bytes("F0Mn"), factory[0]);

    const Output set = machine->tool({"set", "0", rpm});
    EXPECT_EQ(set.status, 0) << set.text;
    EXPECT_EQ(machine->bytes("F0Mn"), fpe2(model.force));
    EXPECT_EQ(machine->bytes("FS! "), "0000");  // no manual bit on this path
    // Above the maximum the tool writes the maximum.
    EXPECT_EQ(machine->tool({"set", "0", "99999"}).status, 0);
    EXPECT_EQ(machine->bytes("F0Mn"), machine->bytes("F0Mx"));
    // The boot's record holds the factory minimums, read before the first write.
    const std::string record = machine->ns().read("/run/orvane/fan-minimums");
    for (std::size_t i = 0; i < factory.size(); ++i)
        EXPECT_NE(record.find("F" + std::to_string(i) + "Mn " + factory[i] + "\n"),
                  std::string::npos)
            << record;

    const Output back = machine->tool({"auto"});
    EXPECT_EQ(back.status, 0) << back.text;
    EXPECT_NE(back.text.find("已对 " + std::to_string(model.fans.size()) + " 个风扇执行恢复自动"),
              std::string::npos)
        << back.text;
    for (std::size_t i = 0; i < factory.size(); ++i)
        EXPECT_EQ(machine->bytes("F" + std::to_string(i) + "Mn"), factory[i]) << "fan " << i;
}

// A daemon killed outright leaves its fan forced; `orvtool auto`, a process that never saw
// the factory minimum, restores it from the record the daemon's start left in /run.
TEST_P(DriverForce, AutoAfterAKilledDaemonRestoresFromTheDaemonsRecord) {
    const Model& model = GetParam();
    ASSERT_TRUE(mount(model.profile, model.driver));
    const std::string factory = machine->bytes("F0Mn");
    const std::string rpm = std::to_string(model.force);
    const pid_t daemon = machine->startDaemon();
    ASSERT_GT(daemon, 0) << machine->ns().read("/tmp/daemon.out");
    EXPECT_EQ(machine->request("set 0 " + rpm), "OK set fan=0 rpm=" + rpm);
    EXPECT_EQ(machine->bytes("F0Mn"), fpe2(model.force));
    ASSERT_EQ(::kill(daemon, SIGKILL), 0);
    ::waitpid(daemon, nullptr, 0);
    EXPECT_EQ(machine->bytes("F0Mn"), fpe2(model.force));

    EXPECT_NE(machine->ns().read("/run/orvane/fan-minimums").find("F0Mn " + factory + "\n"),
              std::string::npos);
    const Output back = machine->tool({"auto"});
    EXPECT_EQ(back.status, 0) << back.text;
    EXPECT_EQ(machine->bytes("F0Mn"), factory);
}

INSTANTIATE_TEST_SUITE_P(WithoutModeKeys, DriverForce, testing::Values(kOlder, kSingle), modelName);

// The patched driver's machines force a fan through its mode key, which no driver file can
// write: every command that would change one says so and leaves the SMC as it was. Handing
// back a fan whose mode key already says automatic writes nothing and succeeds.
TEST_F(DriverTest, ModeKeysAreRefusedAsUnsupportedAndNothingIsWritten) {
    ASSERT_TRUE(mount(kRecent.profile, kRecent.driver));
    const std::vector<std::string> keys{"F0Md", "F1Md", "F0Mn", "F1Mn", "F0Tg", "F1Tg"};
    std::vector<std::string> before;
    for (const std::string& key : keys)
        before.push_back(machine->bytes(key));

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"set", "0", "3000"}, {"set", "1", "2000"}}) {
        const Output out = machine->tool(args);
        EXPECT_EQ(out.status, 1) << out.text;
        EXPECT_NE(out.text.find(kUnsupported), std::string::npos) << out.text;
        EXPECT_EQ(out.text.find("权限不足"), std::string::npos) << out.text;
    }
    const Output back = machine->tool({"auto"});
    EXPECT_EQ(back.status, 0) << back.text;
    EXPECT_NE(back.text.find("已对 2 个风扇执行恢复自动"), std::string::npos) << back.text;

    ASSERT_GT(machine->startDaemon(), 0) << machine->ns().read("/tmp/daemon.out");
    const std::string reply = machine->request("set 0 3000");
    EXPECT_EQ(reply.rfind("ERR ", 0), 0u) << reply;
    EXPECT_NE(reply.find(kUnsupported), std::string::npos) << reply;
    EXPECT_EQ(machine->request("auto 1"), "OK auto fan=1");
    for (std::size_t i = 0; i < keys.size(); ++i)
        EXPECT_EQ(machine->bytes(keys[i]), before[i]) << keys[i];

    // A fan another program left manual cannot be handed back through this driver.
    ASSERT_EQ(machine->tree().control("set F1Md 01").rfind("OK", 0), 0u);
    const std::string refused = machine->request("auto 1");
    EXPECT_EQ(refused.rfind("ERR ", 0), 0u) << refused;
    EXPECT_NE(refused.find(kUnsupported), std::string::npos) << refused;
    EXPECT_EQ(machine->bytes("F1Md"), "01");
    EXPECT_EQ(machine->request("quit"), "OK bye");
}

// The control daemon forces and hands back through the driver's minimum files, and its
// quit hands every fan back.
TEST_F(DriverTest, DaemonSetAutoAndQuitGoThroughTheMinimums) {
    ASSERT_TRUE(mount(kOlder.profile, kOlder.driver));
    const std::string factory0 = machine->bytes("F0Mn"), factory1 = machine->bytes("F1Mn");
    const pid_t daemon = machine->startDaemon();
    ASSERT_GT(daemon, 0) << machine->ns().read("/tmp/daemon.out");

    EXPECT_EQ(machine->request("set 0 3000"), "OK set fan=0 rpm=3000");
    EXPECT_EQ(machine->bytes("F0Mn"), fpe2(3000));
    EXPECT_EQ(machine->request("auto 0"), "OK auto fan=0");
    EXPECT_EQ(machine->bytes("F0Mn"), factory0);

    EXPECT_EQ(machine->request("set 1 4000"), "OK set fan=1 rpm=4000");
    EXPECT_EQ(machine->request("set 0 2500"), "OK set fan=0 rpm=2500");
    EXPECT_EQ(machine->bytes("F1Mn"), fpe2(4000));
    EXPECT_EQ(machine->bytes("F0Mn"), fpe2(2500));
    EXPECT_EQ(machine->request("quit"), "OK bye");
    int status = -1;
    ASSERT_EQ(::waitpid(daemon, &status, 0), daemon);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(machine->bytes("F0Mn"), factory0);
    EXPECT_EQ(machine->bytes("F1Mn"), factory1);
}

}  // namespace
}  // namespace drivertest
