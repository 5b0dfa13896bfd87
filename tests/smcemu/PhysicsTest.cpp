#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "../../smc/FanKeys.h"
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

// Writes a number into a key in the key's own type.
void putNumber(ManualMachine& m, const std::string& key, double value) {
    for (const Key& k : m->keysByIndex()) {
        if (k.name != key) continue;
        Bytes b(k.bytes.size());
        ASSERT_TRUE(codec::encodeInto(value, k.type, b)) << key;
        EXPECT_EQ(m.write(key, b), 0) << key;
        return;
    }
    ADD_FAILURE() << "no key " << key;
}

// Holds a fan at `rpm` by the SMC's own manual flag: its mode byte where it has one, else its
// bit of "FS! ". False when the fan has neither, or no target key.
bool hold(ManualMachine& m, int fan, double rpm) {
    const std::string f = "F" + std::to_string(fan);
    if (!m->keyNumber(f + "Tg")) return false;
    if (m->keyNumber(f + "Md")) {
        m.write(f + "Md", {1});
    } else if (std::optional<double> word = m->keyNumber("FS! ")) {
        putNumber(m, "FS! ", static_cast<double>(static_cast<unsigned>(*word) | 1u << fan));
    } else {
        return false;
    }
    putNumber(m, f + "Tg", rpm);
    return true;
}

// The CPU temperature as the hardware layer reads it: the first of its keys the machine has.
double cpuReading(ManualMachine& m) {
    for (const char* key : FanKeys::kCPUTemperature)
        if (std::optional<double> t = m->keyNumber(key)) return *t;
    ADD_FAILURE() << "no CPU temperature key";
    return 0;
}

// Full load with fan 0 held at its minimum heats the CPU the hardware layer reads to 95 degrees
// within a minute and keeps it there; automatic control, or every fan held at its maximum,
// keeps the same load below 90 degrees all along.
TEST_P(ShippedMachine, FullLoadPassesNinetyFiveOnlyWithAFanHeldAtItsMinimum) {
    enum Fans { AtMinimum, Automatic, AtMaximum };
    for (Fans fans : {AtMinimum, Automatic, AtMaximum}) {
        SCOPED_TRACE(fans == AtMinimum   ? "fan 0 at its minimum"
                     : fans == Automatic ? "automatic"
                                         : "every fan at its maximum");
        ManualMachine m(shippedProfile(GetParam()));
        if (fans == AtMinimum) {
            ASSERT_TRUE(hold(m, 0, *m->keyNumber("F0Mn")));
        }
        for (int fan = 0; fans == AtMaximum && fan < 10; ++fan) {
            if (std::optional<double> max = m->keyNumber("F" + std::to_string(fan) + "Mx")) {
                ASSERT_TRUE(hold(m, fan, *max));
            }
        }
        m->control("load 1");
        double highest = cpuReading(m), lowestAfter60 = 1000;
        for (int second = 1; second <= 600; ++second) {
            m.passSeconds(1);
            const double t = cpuReading(m);
            highest = std::max(highest, t);
            if (second >= 60) lowestAfter60 = std::min(lowestAfter60, t);
        }
        if (fans == AtMinimum)
            EXPECT_GE(lowestAfter60, 95);
        else
            EXPECT_LT(highest, 90);
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

// The two families of machines: fans forced by the mode byte and a float target, or (without
// mode keys) by a raised fpe2 minimum, with the force-flag word "FS! " beside it.
struct Family {
    const char* profile;
    bool modeKeys;
};

void PrintTo(const Family& family, std::ostream* os) {
    *os << family.profile;
}

class SmcHandsBack : public testing::TestWithParam<Family> {
  protected:
    void SetUp() override {
        for (int fan : {0, 1})
            originalMinimum[fan] = m->control("get F" + std::to_string(fan) + "Mn");
    }
    bool modeKeys() const { return GetParam().modeKeys; }
    Bytes speed(double rpm) const { return modeKeys() ? flt(rpm) : fpe2(rpm); }
    // Forces a fan as the machine's own ways allow: the mode byte and the target; without
    // mode keys fan 0 by its minimum and fan 1 by its bit of "FS! " and the target.
    void force(int fan, double rpm) {
        const std::string f = "F" + std::to_string(fan);
        if (modeKeys()) {
            EXPECT_EQ(m.write(f + "Md", {1}), 0);
            EXPECT_EQ(m.write(f + "Tg", speed(rpm)), 0);
        } else if (fan == 0) {
            EXPECT_EQ(m.write(f + "Mn", speed(rpm)), 0);
        } else {
            EXPECT_EQ(m.write(f + "Tg", speed(rpm)), 0);
            EXPECT_EQ(m.write("FS! ", {0x00, 0x02}), 0);
        }
    }
    // Whether a fan's keys are as the SMC leaves a fan it controls: mode byte 0, or the
    // profile's minimum and its bit of "FS! " clear.
    bool automatic(int fan) {
        const std::string f = "F" + std::to_string(fan);
        if (modeKeys()) return m->control("get " + f + "Md") == "OK ui8  1 00";
        const unsigned flags = static_cast<unsigned>(m->keyNumber("FS! ").value_or(-1));
        return m->control("get " + f + "Mn") == originalMinimum[fan] && !(flags >> fan & 1);
    }
    // The simulated time the machine reports.
    double clockTime() {
        const std::string status = m->control("status");
        const size_t at = status.find(" t=");
        return at == std::string::npos ? -1 : std::atof(status.c_str() + at + 3);
    }

    ManualMachine m{shippedProfile(GetParam().profile)};
    std::string originalMinimum[2];
};

// The clock jumps by the time asleep, frozen or not; asleep the machine makes no heat and its
// automatic fans stop (a forced one keeps running); on the wake every fan is automatic again,
// the force-flag word clear, and the load set before applies again.
TEST_P(SmcHandsBack, SleepJumpsTheClockCoolsTheMachineAndHandsEveryFanBack) {
    force(0, 4000);
    if (!modeKeys()) force(1, 4500);
    m->control("load 1");
    m.passSeconds(60);
    // A raised minimum only bounds the curve from below: under load it runs above it.
    if (modeKeys()) {
        ASSERT_NEAR(*m->fanRpm(0), 4000, 5);
    } else {
        ASSERT_GE(*m->fanRpm(0), 3995);
        ASSERT_NEAR(*m->fanRpm(1), 4500, 5);
    }
    ASSERT_GT(m->cpuTemperature(), 60);
    ASSERT_FALSE(automatic(0));

    ASSERT_EQ(m->control("clock freeze").rfind("OK ", 0), 0u);
    const double before = clockTime();
    const std::string reply = m->control("sleep 600");
    ASSERT_EQ(reply.rfind("OK ", 0), 0u) << reply;
    const double after = clockTime();
    EXPECT_NEAR(after, before + 600, 1e-6);
    char shownTime[32];
    std::snprintf(shownTime, sizeof shownTime, "%.3f", after);
    EXPECT_NE(reply.find(shownTime), std::string::npos) << reply;

    EXPECT_LT(m->cpuTemperature(), 26);
    EXPECT_TRUE(automatic(0));
    EXPECT_TRUE(automatic(1));
    if (!modeKeys()) {
        EXPECT_EQ(m->control("get \"FS! \""), "OK ui16 2 0000");
    }
    if (modeKeys()) {
        EXPECT_NEAR(*m->fanRpm(0), 4000, 5);  // forced through the sleep
        EXPECT_LT(*m->fanRpm(1), 5);          // stopped by automatic control
    } else {
        EXPECT_NEAR(*m->fanRpm(1), 4500, 5);
    }

    ASSERT_EQ(m->control("clock step 120").rfind("OK ", 0), 0u);
    EXPECT_GT(m->cpuTemperature(), 80);
    const std::string status = m->control("status");
    for (const char* fan : {"fan0=", "fan1="}) {
        const size_t at = status.find(fan);
        ASSERT_NE(at, std::string::npos) << status;
        EXPECT_EQ(status.compare(status.find(',', at), 6, ",auto,"), 0) << status;
    }
}

// The SMC takes one fan back by itself; targets written then are ignored until the fan is
// forced again; the other fan stays forced.
TEST_P(SmcHandsBack, TakebackHandsBackOneFanUntilItIsForcedAgain) {
    force(0, 4000);
    force(1, 4000);
    m.passSeconds(15);
    ASSERT_EQ(m->control("takeback 0").rfind("OK ", 0), 0u);
    EXPECT_TRUE(automatic(0));
    EXPECT_FALSE(automatic(1));

    EXPECT_EQ(m.write("F0Tg", speed(5000)), 0);
    m.passSeconds(15);
    EXPECT_NEAR(*m->fanRpm(0), modeKeys() ? 1200 : 2000, 5);  // its minimum at idle
    EXPECT_NEAR(*m->fanRpm(1), 4000, 5);

    force(0, 5000);
    m.passSeconds(15);
    EXPECT_NEAR(*m->fanRpm(0), 5000, 5);

    ASSERT_EQ(m->control("takeback 1").rfind("OK ", 0), 0u);
    m.passSeconds(15);
    EXPECT_TRUE(automatic(1));
    EXPECT_NEAR(*m->fanRpm(1), modeKeys() ? 1300 : 2000, 5);
}

INSTANTIATE_TEST_SUITE_P(Families, SmcHandsBack,
                         testing::Values(Family{"recent-2fan.prof", true},
                                         Family{"older-2fan.prof", false}),
                         [](const testing::TestParamInfo<Family>& info) {
                             return std::string(info.param.modeKeys ? "mode_keys" : "minimum");
                         });

}  // namespace
}  // namespace smcemu
