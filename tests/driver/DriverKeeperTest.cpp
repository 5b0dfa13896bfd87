// The daemon keeps its fans on both driver models: the mainline driver's minimum files on a
// machine without mode keys, the patched driver's manual and output files on one with them.
// A fan the SMC took back is set again, and the fans go back before a sleep logind announces
// and are forced again after the wake.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "Deadline.h"
#include "DriverMachine.h"
#include "FakeLogind.h"

namespace drivertest {
namespace {

using namespace std::chrono_literals;

struct Model {
    const char* profile;
    const char* driver;
    bool modeKeys;
    const char* layout = "device";  // "hwmon": the files move to a new directory on each wake
};

class DriverKeeper : public DriverTest, public testing::WithParamInterface<Model> {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(mount(GetParam().profile, GetParam().driver, GetParam().layout));
        factory = machine->bytes("F0Mn");
    }
    void TearDown() override {
        if (machine && machine->ok() && machine->daemon().running()) {
            EXPECT_EQ(machine->request("quit"), protocol::kReplyBye);
            EXPECT_EQ(machine->daemon().finish(), 0);
        }
        DriverTest::TearDown();
    }
    bool forced() {
        return GetParam().modeKeys ? machine->bytes("F0Md") != "00"
                                   : machine->bytes("F0Mn") != factory;
    }
    bool control(const std::string& line) {
        return machine->tree().control(line).rfind("OK", 0) == 0;
    }

    std::string factory;
};

TEST_P(DriverKeeper, FanTheSmcTookBackIsSetAgain) {
    ASSERT_TRUE(machine->startDaemon()) << machine->ns().read("/tmp/daemon.out");
    ASSERT_EQ(machine->request("set 0 3000"), setReply(0, 3000));
    const std::string target = machine->bytes(GetParam().modeKeys ? "F0Tg" : "F0Mn");
    ASSERT_TRUE(control("takeback 0"));
    EXPECT_FALSE(forced());
    EXPECT_TRUE(waitUntil([&] { return forced(); }, 2s)) << machine->ns().read("/tmp/daemon.out");
    EXPECT_EQ(machine->bytes(GetParam().modeKeys ? "F0Tg" : "F0Mn"), target);
}

TEST_P(DriverKeeper, FansGoBackBeforeSleepAndAreForcedAgainAfterTheWake) {
    FakeLogind logind;
    ASSERT_TRUE(logind.ok()) << logind.error();
    ASSERT_TRUE(machine->startDaemon({{"DBUS_SYSTEM_BUS_ADDRESS", logind.busAddress()}}))
        << machine->ns().read("/tmp/daemon.out");
    ASSERT_TRUE(waitUntil([&] { return logind.inhibitorHeld(); }));
    ASSERT_EQ(machine->request("set 0 3000"), setReply(0, 3000));

    ASSERT_TRUE(logind.sleep());
    EXPECT_TRUE(waitUntil([&] { return !forced() && !logind.inhibitorHeld(); }));
    ASSERT_TRUE(control("sleep 600"));
    ASSERT_TRUE(logind.wake());
    const Deadline early(2500ms);
    while (!early.passed()) {
        ASSERT_FALSE(forced()) << "set again before the wake's 3 s";
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(waitUntil([&] { return forced(); }, 2500ms))
        << machine->ns().read("/tmp/daemon.out");
}

INSTANTIATE_TEST_SUITE_P(BothDrivers, DriverKeeper,
                         testing::Values(Model{"older-2fan.prof", "mainline", false},
                                         Model{"recent-2fan.prof", "t2", true},
                                         Model{"older-2fan.prof", "mainline", false, "hwmon"}),
                         [](const testing::TestParamInfo<Model>& info) {
                             return std::string(info.param.driver) + "_" + info.param.layout;
                         });

}  // namespace
}  // namespace drivertest
