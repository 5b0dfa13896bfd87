#include <gtest/gtest.h>

#include <cmath>

#include "Codec.h"
#include "Machine.h"
#include "TestSupport.h"

namespace smcemu {
namespace {

using test::ManualMachine;
using test::shippedProfile;
using Bytes = std::vector<uint8_t>;

Bytes flt(double v) {
    Bytes b(4);
    codec::encodeInto(v, "flt ", b);
    return b;
}

Bytes fpe2(double v) {
    Bytes b(2);
    codec::encodeInto(v, "fpe2", b);
    return b;
}

TEST(Physics, ModeKeyFanFollowsItsTargetWithALag) {
    ManualMachine m(shippedProfile("recent-2fan.prof"));
    double idle = *m->fanRpm(0);
    EXPECT_EQ(m.write("F0Md", {1}), 0);
    EXPECT_EQ(m.write("F0Tg", flt(4000)), 0);

    m.passSeconds(0.5);
    double halfway = *m->fanRpm(0);
    EXPECT_GT(halfway, idle + 100);
    EXPECT_LT(halfway, 3900);

    m.passSeconds(10);
    EXPECT_NEAR(*m->fanRpm(0), 4000, 5);
    EXPECT_NEAR(*m->keyNumber("F0Ac"), 4000, 5);  // published in the key's own type
    EXPECT_NEAR(*m->fanRpm(1), 1300, 5);          // the other fan stays automatic

    // A target beyond the maximum is held at the maximum.
    m.write("F0Tg", flt(9000));
    m.passSeconds(15);
    EXPECT_NEAR(*m->fanRpm(0), 5700, 5);

    // Clearing the mode bit hands the fan back to automatic control.
    m.write("F0Md", {0});
    m.passSeconds(15);
    EXPECT_NEAR(*m->fanRpm(0), idle, 5);
}

// Under automatic control the target key shows the speed the controller steers to, as on
// the real SMC; a target written then is replaced, and one written with the mode bit set
// stands.
TEST(Physics, TargetKeyFollowsAutomaticControlUntilForced) {
    ManualMachine m(shippedProfile("recent-2fan.prof"));
    double idle = *m->fanRpm(0);
    EXPECT_NEAR(*m->keyNumber("F0Tg"), 1200, 0.01);
    m.write("F0Md", {2});  // bit 0 clear
    m.write("F0Tg", flt(4000));
    m.passSeconds(10);
    EXPECT_NEAR(*m->fanRpm(0), idle, 5);
    EXPECT_NEAR(*m->keyNumber("F0Tg"), 1200, 0.01);

    m->control("load 1");
    m.passSeconds(120);
    double loaded = *m->fanRpm(0);
    EXPECT_GT(loaded, 3500);
    EXPECT_NEAR(*m->keyNumber("F0Tg"), loaded, 50);
    EXPECT_NE(m->control("status").find("fan0=" + std::to_string(std::lround(loaded))),
              std::string::npos);

    // Pinning the fan at the published target keeps it at its speed.
    double target = *m->keyNumber("F0Tg");
    m.write("F0Md", {1});
    m.write("F0Tg", flt(target));
    m->control("load 0.1");
    m.passSeconds(120);
    EXPECT_NEAR(*m->fanRpm(0), target, 5);
    EXPECT_NEAR(*m->keyNumber("F0Tg"), target, 0.01);

    m.write("F0Md", {0});
    m.passSeconds(120);
    EXPECT_NEAR(*m->keyNumber("F0Tg"), 1200, 0.01);
    EXPECT_NEAR(*m->fanRpm(0), 1200, 5);
}

// Without mode keys: the target key shows the automatic target, never below the current
// minimum; a minimum raised to the speed a loaded fan runs at keeps it there, and the force
// flag's bit for a fan makes it follow its target key.
TEST(Physics, MachineWithoutModeKeysPublishesItsTargetAndHonoursTheForceFlag) {
    ManualMachine m(shippedProfile("older-2fan.prof"));
    EXPECT_NEAR(*m->keyNumber("F0Tg"), 2000, 0.25);
    m.write("F0Mn", fpe2(3000));
    m.passSeconds(1);
    EXPECT_NEAR(*m->keyNumber("F0Tg"), 3000, 0.25);
    m.write("F0Mn", fpe2(2000));

    m->control("load 1");
    m.passSeconds(120);
    double loaded = *m->fanRpm(0);
    EXPECT_GT(loaded, 4000);
    EXPECT_NEAR(*m->keyNumber("F0Tg"), loaded, 50);
    m.write("F0Mn", fpe2(*m->keyNumber("F0Tg")));
    m.passSeconds(120);
    EXPECT_NEAR(*m->fanRpm(0), loaded, 0.05 * loaded);
    m.write("F0Mn", fpe2(2000));

    m->control("load 0.1");
    m.passSeconds(120);
    m.write("F1Tg", fpe2(5000));
    m.write("FS! ", {0x00, 0x02});  // fan 1 forced
    m.passSeconds(15);
    EXPECT_NEAR(*m->fanRpm(1), 5000, 5);
    EXPECT_NEAR(*m->fanRpm(0), 2000, 5);
    EXPECT_NEAR(*m->keyNumber("F1Tg"), 5000, 0.25);
    EXPECT_NE(m->control("status").find("fan1=5000rpm,manual"), std::string::npos);
    m.write("FS! ", {0x00, 0x00});
    m.passSeconds(15);
    EXPECT_NEAR(*m->fanRpm(1), 2000, 5);
    EXPECT_NEAR(*m->keyNumber("F1Tg"), 2000, 0.25);
}

TEST(Physics, RaisedMinimumForcesAFanAndOriginalBytesRestoreIt) {
    ManualMachine m(shippedProfile("older-2fan.prof"));
    std::string original = m->control("get F0Mn");
    ASSERT_EQ(original, "OK fpe2 2 1f40");
    EXPECT_EQ(m.write("F0Mn", fpe2(4000)), 0);
    m.passSeconds(15);
    EXPECT_NEAR(*m->fanRpm(0), 4000, 5);
    EXPECT_NEAR(*m->keyNumber("F0Ac"), 4000, 5);

    m.write("F0Mn", {0x1f, 0x40});
    m.passSeconds(15);
    EXPECT_NEAR(*m->fanRpm(0), 2000, 5);
}

TEST(Physics, MinimumAboveMaximumRunsTheFanAtItsMaximum) {
    ManualMachine m(shippedProfile("older-2fan.prof"));
    m.write("F0Mn", fpe2(9000));
    m.passSeconds(15);
    EXPECT_NEAR(*m->fanRpm(0), 6000, 5);
}

TEST(Physics, AutomaticSpeedAndTemperatureRiseWithLoad) {
    ManualMachine m(shippedProfile("recent-2fan.prof"));
    double idleRpm = *m->fanRpm(0), idleCpu = m->cpuTemperature();
    ASSERT_EQ(m->control("load 0.6").substr(0, 2), "OK");
    m.passSeconds(120);
    double midRpm = *m->fanRpm(0), midCpu = m->cpuTemperature();
    m->control("load 1");
    m.passSeconds(120);
    EXPECT_GT(midRpm, idleRpm + 500);
    EXPECT_GT(*m->fanRpm(0), midRpm + 500);
    EXPECT_GT(midCpu, idleCpu + 5);
    EXPECT_GT(m->cpuTemperature(), midCpu);
}

TEST(Physics, MoreAirflowMeansALowerTemperature) {
    ManualMachine slow(shippedProfile("recent-2fan.prof")),
        fast(shippedProfile("recent-2fan.prof"));
    for (ManualMachine* m : {&slow, &fast}) {
        m->machine->control("load 0.7");
        for (const char* fan : {"F0", "F1"}) {
            m->write(std::string(fan) + "Md", {1});
            m->write(std::string(fan) + "Tg", flt(m == &slow ? 1500 : 5500));
        }
        m->passSeconds(200);
    }
    EXPECT_LT(fast->cpuTemperature(), slow->cpuTemperature() - 10);
}

TEST(Physics, TemperatureKeysFollowTheModelInTheirTypes) {
    ManualMachine m(shippedProfile("recent-2fan.prof"));
    m->control("load 0.8");
    m.passSeconds(60);
    double cpu = m->cpuTemperature();
    EXPECT_NEAR(*m->keyNumber("TC0P"), cpu, 1.0 / 256);
    EXPECT_NEAR(*m->keyNumber("TC1C"), cpu, 1.0 / 256);
    double gpu = *m->keyNumber("TG0P");
    EXPECT_GT(gpu, 25);
    EXPECT_LT(gpu, cpu);
    EXPECT_NEAR(*m->keyNumber("TA0P"), 25, 1.0 / 256);

    // Only the late candidate reports the CPU on the odd machine.
    ManualMachine odd(shippedProfile("odd-cases.prof"));
    EXPECT_NEAR(*odd->keyNumber("TCAH"), odd->cpuTemperature(), 1.0 / 256);
    EXPECT_FALSE(odd->keyNumber("TG0P"));
}

TEST(Physics, FanWithoutLimitKeysRunsBetweenTheDefaultLimits) {
    ManualMachine m(shippedProfile("odd-cases.prof"));
    EXPECT_NEAR(*m->fanRpm(2), 1500, 5);  // @default_fan_min
    m->control("load 1");
    m.passSeconds(300);
    EXPECT_NEAR(*m->fanRpm(2), 4500, 5);  // @default_fan_max
}

TEST(Physics, StoredActualSpeedIsTakenOverAndRelaxesBack) {
    ManualMachine m(shippedProfile("recent-2fan.prof"));
    ASSERT_EQ(m->control("set F0Ac 0000fa44"), "OK");  // 2000 rpm
    EXPECT_NEAR(*m->fanRpm(0), 2000, 1);
    m.passSeconds(10);
    EXPECT_NEAR(*m->fanRpm(0), 1200, 5);
}

// Each shipped machine idles at a laptop's usual temperature and, at full load, runs hot with
// its fans near their maximum.
class ShippedMachine : public testing::TestWithParam<const char*> {};

TEST_P(ShippedMachine, IdleAndFullLoadAreRealistic) {
    ManualMachine m(shippedProfile(GetParam()));
    EXPECT_GE(m->cpuTemperature(), 45);
    EXPECT_LE(m->cpuTemperature(), 55);
    m->control("load 1");
    m.passSeconds(600);
    EXPECT_GE(m->cpuTemperature(), 85);
    EXPECT_LE(m->cpuTemperature(), 100);
    for (int fan = 0; fan < 10; ++fan) {
        std::optional<double> rpm = m->fanRpm(fan);
        std::optional<double> max = m->keyNumber("F" + std::to_string(fan) + "Mx");
        if (rpm && max) {
            EXPECT_GE(*rpm, 0.85 * *max) << "fan " << fan;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Profiles, ShippedMachine,
                         testing::Values("recent-2fan.prof", "older-2fan.prof", "single-fan.prof",
                                         "odd-cases.prof"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             name = name.substr(0, name.find('.'));
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
}  // namespace smcemu
