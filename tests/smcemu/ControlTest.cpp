#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "Machine.h"
#include "TestSupport.h"

namespace smcemu {
namespace {

using test::request;

const char* kMachine =
    "\"FNum\" \"ui8 \" 1 01\n"
    "\"F0Ac\" \"fpe2\" 2 1f40\n"
    "\"F0Mn\" \"fpe2\" 2 1f40\n"
    "\"F0Mx\" \"fpe2\" 2 5dc0\n"
    "\"F0Md\" \"ui8 \" 1 00\n"
    "\"F0Tg\" \"fpe2\" 2 1f40\n"
    "\"FS! \" \"ui16\" 2 0000\n"
    "\"TC0P\" \"sp78\" 2 3000\n";

class Faults : public testing::Test {
  protected:
    test::ManualMachine m{kMachine};

    CallOutcome serve(const std::string& key, uint8_t cmd, bool privileged = true,
                      uint32_t selector = 2) {
        test::Block in = request(key, cmd, 1, {1}), out{};
        out.fill(0xAA);
        CallOutcome outcome = m->serve(selector, in.data(), out.data(), privileged);
        lastOut = out;
        return outcome;
    }
    void expectOk(const std::string& line) {
        std::string reply = m->control(line);
        EXPECT_EQ(reply.substr(0, 3), "OK ") << line << " -> " << reply;
    }
    test::Block lastOut{};
};

TEST_F(Faults, KeyFaultsFailOnlyTheirCommandWithTheGivenCode) {
    expectOk("fault F0Mn info e00002bc");
    expectOk("fault F0Mx read 0xE00002C0");
    expectOk("fault F0Tg write e00002c2");

    EXPECT_EQ(static_cast<uint32_t>(serve("F0Mn", kCmdKeyInfo).kr), 0xE00002BCu);
    EXPECT_EQ(lastOut, test::Block{});  // a failed call carries a zero block
    EXPECT_EQ(serve("F0Mn", kCmdRead).kr, 0);
    EXPECT_EQ(static_cast<uint32_t>(serve("F0Mx", kCmdRead).kr), 0xE00002C0u);
    EXPECT_EQ(serve("F0Mx", kCmdKeyInfo).kr, 0);
    EXPECT_EQ(static_cast<uint32_t>(serve("F0Tg", kCmdWrite).kr), 0xE00002C2u);
    EXPECT_EQ(m->control("get F0Tg"), "OK fpe2 2 1f40");  // not written
    EXPECT_EQ(serve("F0Md", kCmdWrite).kr, 0);
    // Faults persist.
    EXPECT_EQ(static_cast<uint32_t>(serve("F0Mn", kCmdKeyInfo).kr), 0xE00002BCu);
}

TEST_F(Faults, QuotedKeyWithTrailingSpaceAndMissingKeysCanFail) {
    expectOk("fault \"FS! \" read e00002bc");
    expectOk("fault F7Ac info e00002bc");
    EXPECT_EQ(static_cast<uint32_t>(serve("FS! ", kCmdRead).kr), 0xE00002BCu);
    EXPECT_EQ(static_cast<uint32_t>(serve("F7Ac", kCmdKeyInfo).kr), 0xE00002BCu);
}

TEST_F(Faults, DropClosesOnAnyCommandNamingTheKey) {
    expectOk("fault F0Ac drop");
    EXPECT_TRUE(serve("F0Ac", kCmdKeyInfo).drop);
    EXPECT_TRUE(serve("F0Ac", kCmdRead).drop);
    EXPECT_FALSE(serve("F0Mn", kCmdRead).drop);
}

TEST_F(Faults, SlowDelaysEveryReply) {
    expectOk("fault slow 250");
    EXPECT_EQ(serve("F0Mn", kCmdRead).delayMs, 250);
    EXPECT_EQ(serve("F0Mn", kCmdRead, true, 7).delayMs, 250);
    expectOk("fault slow 0");
    EXPECT_EQ(serve("F0Mn", kCmdRead).delayMs, 0);
}

TEST_F(Faults, CallFaultHitsOnlyTheNthCallFromNow) {
    serve("F0Mn", kCmdRead);  // calls made before the fault do not count
    expectOk("fault call 3 e00002bc");
    expectOk("fault call 4 drop");
    EXPECT_EQ(serve("F0Mn", kCmdRead).kr, 0);
    EXPECT_EQ(serve("F0Mn", kCmdRead, true, 9).kr, kIOReturnUnsupported);  // counts too
    EXPECT_EQ(static_cast<uint32_t>(serve("F0Mn", kCmdRead).kr), 0xE00002BCu);
    EXPECT_TRUE(serve("F0Mn", kCmdRead).drop);
    CallOutcome after = serve("F0Mn", kCmdRead);
    EXPECT_EQ(after.kr, 0);
    EXPECT_FALSE(after.drop);
    EXPECT_EQ(m->control("calls"), "OK 6");
}

TEST_F(Faults, TraceNamesEachCallsPeerCommandAndKeyAfterAGivenNumber) {
    test::Block in = request("F0Md", kCmdWrite, 1, {1}), out{};
    m->serve(2, in.data(), out.data(), true, 4711);
    serve("FS! ", kCmdKeyInfo);
    expectOk("fault call 1 drop");
    serve("F0Ac", kCmdRead);  // a faulted call is traced too
    EXPECT_EQ(m->control("trace"), "OK 1:4711:write:F0Md 2:0:info:FS!  3:0:read:F0Ac");
    EXPECT_EQ(m->control("trace 2"), "OK 3:0:read:F0Ac");
    EXPECT_EQ(m->control("trace 3"), "OK");
    // Only the most recent calls are kept.
    for (int i = 0; i < 300; ++i)
        serve("F0Ac", kCmdRead);
    const std::string all = m->control("trace");
    EXPECT_EQ(std::count(all.begin(), all.end(), ' '), 256);
    EXPECT_EQ(all.rfind("OK 48:0:read:F0Ac ", 0), 0u) << all.substr(0, 40);
}

TEST_F(Faults, ClearRemovesEveryFault) {
    expectOk("fault F0Mn read e00002bc");
    expectOk("fault F0Ac drop");
    expectOk("fault slow 100");
    expectOk("fault call 2 drop");
    expectOk("fault clear");
    for (int i = 0; i < 3; ++i) {
        CallOutcome o = serve(i == 0 ? "F0Mn" : "F0Ac", kCmdRead);
        EXPECT_EQ(o.kr, 0);
        EXPECT_FALSE(o.drop);
        EXPECT_EQ(o.delayMs, 0);
    }
}

TEST_F(Faults, FaultsTakePrecedenceOverThePrivilegeCheck) {
    expectOk("fault F0Tg write e00002bc");
    EXPECT_EQ(static_cast<uint32_t>(serve("F0Tg", kCmdWrite, false).kr), 0xE00002BCu);
    EXPECT_EQ(serve("F0Md", kCmdWrite, false).kr, kIOReturnNotPrivileged);
}

class BadControl : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(BadControl, GivesAnErrorLine) {
    test::ManualMachine m(kMachine);
    ASSERT_EQ(m->control("set F0Md 01"), "OK");
    std::string reply = m->control(GetParam().first);
    EXPECT_EQ(reply.rfind("ERR ", 0), 0u) << reply;
    EXPECT_NE(reply.find(GetParam().second), std::string::npos) << reply;
    EXPECT_EQ(reply.find('\n'), std::string::npos);
    // A refused line changes nothing: the clock has not moved, the fan is still forced.
    const std::string status = m->control("status");
    EXPECT_NE(status.find(" t=0.000 "), std::string::npos) << status;
    EXPECT_EQ(m->control("get F0Md"), "OK ui8  1 01");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadControl,
    testing::Values(
        std::pair{"", "empty command"}, std::pair{"   ", "empty command"},
        std::pair{"jump", "unknown command"}, std::pair{"load", "usage"},
        std::pair{"load 1.5", "from 0 to 1"}, std::pair{"load nan", "from 0 to 1"},
        std::pair{"load 0.5 0.6", "usage"}, std::pair{"clock", "usage"},
        std::pair{"clock slow", "usage"}, std::pair{"clock step -1", "seconds"},
        std::pair{"clock step x", "seconds"}, std::pair{"fault", "usage"},
        std::pair{"fault F0Ac read", "usage"}, std::pair{"fault F0Ac read 0", "non-zero hex"},
        std::pair{"fault F0Ac read xyz", "non-zero hex"},
        std::pair{"fault F0Ac read 1e00002bc", "non-zero hex"},
        std::pair{"fault F0A read e00002bc", "four characters"},
        std::pair{"fault \"FS! read e00002bc", "missing closing quote"},
        std::pair{"fault \"FS! \"read e00002bc", "followed by a space"},
        std::pair{"fault F0Ac drop now", "usage"}, std::pair{"fault slow -5", "0 to"},
        std::pair{"fault slow 999999", "0 to"}, std::pair{"fault call 0 e00002bc", "from 1"},
        std::pair{"fault call 2 ok", "non-zero hex"}, std::pair{"get", "usage"},
        std::pair{"get F9Ac", "no key"}, std::pair{"get FS!", "four characters"},
        std::pair{"set F0Mn 1f", "holds 2 bytes, not 1"}, std::pair{"set F0Mn 1f4", "odd number"},
        std::pair{"set F0Mn zz40", "not hex"}, std::pair{"calls now", "usage"},
        std::pair{"status x", "usage"}, std::pair{"trace 1 2", "usage"},
        std::pair{"trace x", "whole number"}, std::pair{"load \x01\xff", "from 0 to 1"},
        std::pair{"sleep", "usage"}, std::pair{"sleep 0", "above 0"},
        std::pair{"sleep -30", "above 0"}, std::pair{"sleep 1e7", "above 0"},
        std::pair{"sleep nan", "above 0"}, std::pair{"sleep 5s", "above 0"},
        std::pair{"sleep 5 5", "usage"}, std::pair{"takeback", "usage"},
        std::pair{"takeback 1", "no fan"}, std::pair{"takeback -1", "no fan"},
        std::pair{"takeback F0", "no fan"}, std::pair{"takeback 0 0", "usage"},
        std::pair{"takeback 99999999999999", "no fan"}, std::pair{"pin", "usage"},
        std::pair{"pin TC0P", "usage"}, std::pair{"pin cpu 50 60", "usage"},
        std::pair{"pin TC0P hot", "from -40 to 150"}, std::pair{"pin cpu 151", "from -40 to 150"},
        std::pair{"pin cpu nan", "from -40 to 150"}, std::pair{"pin TC0 50", "four characters"},
        std::pair{"pin \"cpu\" 50", "four characters"},
        std::pair{"pin TX9P 50", "no temperature sensor"},
        std::pair{"pin F0Ac 50", "no temperature sensor"}));

TEST(Control, GetAndSetRawBytes) {
    test::ManualMachine m(kMachine);
    EXPECT_EQ(m->control("get FNum"), "OK ui8  1 01");
    EXPECT_EQ(m->control("set F0Mn 3E 80"), "OK");
    EXPECT_EQ(m->control("get F0Mn"), "OK fpe2 2 3e80");
    EXPECT_EQ(m->control("set \"FS! \" 00ff\r"), "OK");
    EXPECT_EQ(m->control("get \"FS! \""), "OK ui16 2 00ff");
}

TEST(Control, FrozenClockStopsTimeUntilStepped) {
    test::ManualMachine m(kMachine);
    m->control("set F0Md 01");
    m->control("set F0Tg 3e80");  // 4000 rpm
    EXPECT_EQ(m->control("clock freeze").rfind("OK clock frozen", 0), 0u);
    m.passSeconds(30);
    EXPECT_NEAR(*m->fanRpm(0), 2000, 1);
    m->control("clock step 30");
    EXPECT_NEAR(*m->fanRpm(0), 4000, 1);

    m->control("set F0Tg 1f40");
    m.passSeconds(30);
    EXPECT_EQ(m->control("clock real").rfind("OK clock real", 0), 0u);
    EXPECT_NEAR(*m->fanRpm(0), 4000, 1);  // time spent frozen is not made up for
    m.passSeconds(30);
    EXPECT_NEAR(*m->fanRpm(0), 2000, 1);
}

// A pinned key shows its value whatever the model does; the pinned CPU holds every TC* key
// and carries the GPU sensor and automatic control with it; let go, each follows the model.
TEST(Control, PinnedTemperaturesHoldUntilLetGo) {
    test::ManualMachine m(std::string(kMachine) +
                          "\"TC0D\" \"flt \" 4 00 00 40 42\n"
                          "\"TG0P\" \"sp78\" 2 28 00\n");
    auto near = [&](const char* key, double celsius) {
        return std::abs(m->keyNumber(key).value_or(-1000) - celsius) < 0.1;
    };
    EXPECT_EQ(m->control("pin TG0P 70.5"), "OK pin TG0P 70.5");
    m->control("load 1");
    m.passSeconds(60);
    EXPECT_TRUE(near("TG0P", 70.5));
    EXPECT_FALSE(near("TC0P", 70.5)) << "the other sensors are the model's";

    EXPECT_EQ(m->control("pin cpu 80"), "OK pin cpu 80");
    const double automaticGoal = *m->keyNumber("F0Tg");
    m->control("load 0");
    m.passSeconds(60);
    EXPECT_TRUE(near("TC0P", 80) && near("TC0D", 80)) << m->control("status");
    EXPECT_NEAR(m->cpuTemperature(), 80, 0.01);
    EXPECT_TRUE(near("TG0P", 70.5)) << "a pinned key wins over the pinned CPU";
    EXPECT_NEAR(*m->keyNumber("F0Tg"), automaticGoal, 1) << "automatic control sees 80 °C";
    EXPECT_EQ(m->control("pin TG0P off"), "OK pin TG0P off");
    EXPECT_TRUE(near("TG0P", 25 + 0.8 * (80 - 25))) << "the GPU follows the CPU";

    EXPECT_EQ(m->control("pin cpu off"), "OK pin cpu off");
    m.passSeconds(60);
    EXPECT_LT(m->cpuTemperature(), 50) << "cooling from 80 °C at no load";
    EXPECT_TRUE(near("TC0P", m->cpuTemperature()));
}

TEST(Control, StatusSummarisesOnOneLine) {
    test::ManualMachine m(kMachine);
    m->control("load 0.25");
    m->control("set F0Md 01");
    std::string status = m->control("status");
    EXPECT_EQ(status.rfind("OK load=0.25 cpu=", 0), 0u) << status;
    EXPECT_NE(status.find("fan0=2000rpm,manual"), std::string::npos) << status;
    EXPECT_EQ(status.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace smcemu
