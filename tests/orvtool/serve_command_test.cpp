// The daemon's line interpretation: request trimming and every row of the protocol,
// checked against the replies and against what reached the emulated SMC.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "Emulator.h"
#include "FanController.h"
#include "ForcedMark.h"
#include "Log.h"
#include "Reply.h"
#include "Request.h"
#include "ServeCommand.h"
#include "ServeFans.h"
#include "TempRecord.h"
#include "ToolProcess.h"

using orvtool::requestText;
using tooltest::flt;
using tooltest::fpe2;

TEST(ParseRequest, TellsEachCommandAndItsNumbers) {
    using Kind = orvtool::Request::Kind;
    struct Case {
        const char* line;
        Kind kind;
        std::int64_t fan = 0;
        std::int64_t rpm = 0;
    };
    const Case cases[] = {
        {"ping now", Kind::ping},
        {"set  1   +3480", Kind::set, 1, 3480},
        {"set -1 -5", Kind::set, -1, -5},
        {"set 0", Kind::setUsage},
        {"set 0 1 2", Kind::setUsage},
        {"set 0 2000.0", Kind::setUsage},
        {"auto 4294967296", Kind::autoFan, 4294967296},
        {"auto x", Kind::autoAll},
        {"auto 0 1", Kind::autoAll},
        {"quit now", Kind::quit},
        {"hold on", Kind::hold},
        {"holding", Kind::unknown},
        {"HOLD", Kind::unknown},
        {"set\t0 2000", Kind::unknown},
    };
    for (const Case& c : cases) {
        const orvtool::Request request = orvtool::parseRequest(c.line);
        EXPECT_EQ(request.kind, c.kind) << c.line;
        EXPECT_EQ(request.fan, c.fan) << c.line;
        EXPECT_EQ(request.rpm, c.rpm) << c.line;
        EXPECT_EQ(request.line, c.line);
    }
}

// The forced mark follows the typed results: a `set` marks before it runs and keeps the
// mark even when it fails (its first write may have gone through), unless it names no fan;
// only an `auto` that succeeded takes a fan off.
TEST(ForcedFans, MarkFollowsRequestsAndTheirResults) {
    using protocol::Reply;
    char dir[] = "/tmp/forced-fans.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string mark = std::string(dir) + "/daemon-forced";
    orvtool::DaemonLog log;
    orvtool::ForcedFans fans(log);
    fans.keepMark(mark);
    const auto step = [&](const std::string& line, const Reply& reply) {
        const orvtool::Request request = orvtool::parseRequest(line);
        fans.before(request);
        const bool during = orvtool::forcedMarkPresent(mark);
        fans.after(request, reply, 2);
        if (line.starts_with("set")) {
            EXPECT_TRUE(during) << line;
        }
        return orvtool::forcedMarkPresent(mark);
    };
    const Reply refused = Reply::error("写入被拒(kr=0xe00002c1)");
    EXPECT_FALSE(step("set 5 3000", Reply::error("key F5Mn 不存在")));
    EXPECT_FALSE(step("set 0", Reply::setUsage()));
    EXPECT_TRUE(step("set 0 3000", refused));
    EXPECT_TRUE(step("set 1 3000", Reply::set(1, 3000)));
    EXPECT_TRUE(step("auto 0", refused));
    EXPECT_TRUE(step("auto", refused));
    EXPECT_TRUE(step("ping", Reply::pong(2)));
    EXPECT_TRUE(step("auto 0", Reply::autoFan(0)));
    fans.handedBack(1);
    EXPECT_FALSE(orvtool::forcedMarkPresent(mark));
    EXPECT_TRUE(step("set 1 3000", Reply::set(1, 3000)));
    EXPECT_FALSE(step("auto x", Reply::autoAll()));
    (void)!std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

// Skips the calling test unless the emulated SMC takes writes from this process.
#define REQUIRE_ROOT() \
    if (::getuid() != 0) GTEST_SKIP() << "SMC writes need root"

TEST(RequestText, TrimsSpaceSeparatorsAndTabsOnly) {
    EXPECT_EQ(requestText("\t\u3000\u00a0set  0\t1\u2003\u202f "), "set  0\t1");
    // Carriage return and format characters are not whitespace here.
    EXPECT_EQ(requestText("ping\r"), "ping\r");
    EXPECT_EQ(requestText("\u200bping"), "\u200bping");
    const std::string dropped[] = {
        "",
        "\t \u3000 \u00a0",
        "\xff",
        "ping\xc0\x80",  // not UTF-8; overlong NUL
        "\xed\xa0\x80",
        "\x80ping",  // surrogate; stray continuation
        "ping \xe4\xb8",
        "\xf4\x90\x80\x80",  // truncated; past U+10FFFF
    };
    for (const std::string& line : dropped)
        EXPECT_FALSE(requestText(line)) << tooltest::hexOf({line.begin(), line.end()});
}

namespace {

// An emulated machine with pinned keys and a frozen clock, and a controller on it.
class ServeCommandTest : public ::testing::Test {
  protected:
    void start(const std::string& profile, std::initializer_list<std::string> pins) {
        emu = std::make_unique<Emulator>(Emulator::shippedProfile(profile));
        ASSERT_EQ(emu->control("clock freeze").rfind("OK", 0), 0u);
        for (const std::string& pin : pins)
            ASSERT_EQ(emu->control("set " + pin), "OK") << pin;
        ctl = std::make_unique<FanController>(noRecord());
    }
    std::string key(const std::string& name) { return tooltest::hexOf(emu->value(name)); }
    std::string reply(const std::string& line) {
        return protocol::formatReply(orvtool::serveCommand(line, *ctl));
    }
    // The reply to a peer `uid` of a daemon started by `owner`.
    std::string request(const std::string& line, long uid, long owner) {
        return protocol::formatReply(
            orvtool::serveRequest(orvtool::parseRequest(line), *ctl, fans, uid, owner));
    }
    void forceBoth() {
        ASSERT_EQ(reply("set 0 3000"), "OK set fan=0 rpm=3000");
        ASSERT_EQ(reply("set 1 3000"), "OK set fan=1 rpm=3000");
    }

    std::unique_ptr<Emulator> emu;
    std::unique_ptr<FanController> ctl;
    orvtool::DaemonLog log;
    orvtool::ForcedFans fans{log};
};

class RecentMachine : public ServeCommandTest {
  protected:
    void SetUp() override {
        start("recent-2fan.prof", {"F0Mn " + flt(1200), "F0Mx " + flt(5700), "F1Mn " + flt(1300),
                                   "F1Mx " + flt(6200), "F0Tg " + flt(1500)});
    }
};

}  // namespace

TEST_F(RecentMachine, PingAndUnknownCommands) {
    EXPECT_EQ(reply("ping   now please"), "OK pong fans=2");
    EXPECT_EQ(reply("PING"), "ERR 未知命令: PING");
    EXPECT_EQ(reply("ping\r"), "ERR 未知命令: ping\r");
    EXPECT_EQ(reply("hello  world"), "ERR 未知命令: hello  world");
}

TEST_F(RecentMachine, MalformedSetWritesNothing) {
    for (const char* line : {"set", "set 0", "set 0 2000 9", "set 0 2000.0", "set x 2000",
                             "set 0 99999999999999999999", "set 0 ２０００"}) {
        EXPECT_EQ(reply(line), "ERR 用法: set <fan> <rpm>") << line;
    }
    // A tab does not separate words, so this is not a set command at all.
    EXPECT_EQ(reply("set\t0 2000"), "ERR 未知命令: set\t0 2000");
    // Indices outside the fans: the hardware layer's error; 2^32 must not wrap to fan 0.
    EXPECT_EQ(reply("set 2 2000"), "ERR key F2Mn 不存在");
    EXPECT_EQ(reply("set -1 2000"), "ERR key F-1Mn 不存在");
    EXPECT_EQ(reply("set 4294967296 2000"), "ERR key F4294967296Mn 不存在");
    EXPECT_EQ(reply("auto 4294967296"), "ERR key F4294967296Mn 不存在");
    EXPECT_EQ(key("F0Md") + key("F0Tg"), "00" + flt(1500));
}

TEST_F(RecentMachine, SetForcesAndRepliesWithTheClampedSpeed) {
    REQUIRE_ROOT();
    EXPECT_EQ(reply("set 0 +2000"), "OK set fan=0 rpm=2000");
    EXPECT_EQ(key("F0Md") + key("F0Tg"), "01" + flt(2000));
    EXPECT_EQ(reply("set   1    99999"), "OK set fan=1 rpm=6200");
    EXPECT_EQ(key("F1Tg"), flt(6200));
    EXPECT_EQ(reply("set 1 -5"), "OK set fan=1 rpm=1300");
}

TEST_F(RecentMachine, AutoRestoresOneFanOrAll) {
    REQUIRE_ROOT();
    forceBoth();
    EXPECT_EQ(reply("auto 1"), "OK auto fan=1");
    EXPECT_EQ(key("F0Md") + key("F1Md"), "0100");
    EXPECT_EQ(reply("auto 7"), "ERR key F7Mn 不存在");
    EXPECT_EQ(key("F0Md"), "01");
    // Every other form restores every fan.
    for (const char* line : {"auto", "auto x", "auto 0 1"}) {
        forceBoth();
        EXPECT_EQ(reply(line), "OK auto all") << line;
        EXPECT_EQ(key("F0Md") + key("F1Md"), "0000") << line;
    }
    forceBoth();
    // `quit` is for root and the daemon's owner; others may set and hand back fans only.
    const std::string refused = "ERR 只有 root 或启动控制服务的用户可以让它退出";
    EXPECT_EQ(request("quit", 40001, 1000), refused);
    EXPECT_EQ(request("quit", 40001, -1), refused);
    EXPECT_EQ(request("quit", -1, -1), refused);  // peer unknown
    EXPECT_EQ(key("F0Md") + key("F1Md"), "0101");
    EXPECT_EQ(request("auto 0", 40001, 1000), "OK auto fan=0");
    EXPECT_EQ(request("quit now", 1000, 1000), "OK bye");
    EXPECT_EQ(key("F0Md") + key("F1Md"), "0000");
    forceBoth();
    EXPECT_EQ(request("quit", 0, 1000), "OK bye");
    EXPECT_EQ(key("F0Md") + key("F1Md"), "0000");
}

TEST_F(RecentMachine, SMCFailuresBecomeErrorRepliesButQuitStillSaysBye) {
    REQUIRE_ROOT();
    forceBoth();
    ASSERT_EQ(emu->control("fault F0Md write e00002c1").rfind("OK", 0), 0u);
    const std::string refused =
        "ERR 写入被拒(kr=0xe00002c1)——普通用户权限不足，需 root/特权 helper";
    EXPECT_EQ(reply("set 0 3000"), refused);
    EXPECT_EQ(reply("auto"), refused);
    EXPECT_EQ(key("F1Md"), "00");  // the failure of fan 0 does not keep fan 1 forced
    // A key the SMC driver cannot write is not blamed on privilege.
    ASSERT_EQ(emu->control("fault F1Md write e00002cf").rfind("OK", 0), 0u);
    EXPECT_EQ(reply("set 1 3000"), "ERR 写入被拒(kr=0xe00002cf)——此驱动不支持写入该键");
    EXPECT_EQ(reply("quit"), "OK bye");
}

TEST_F(ServeCommandTest, OlderMachineForcesThroughTheMinimumAndRestoresItsStartBytes) {
    REQUIRE_ROOT();
    start("older-2fan.prof", {"F0Mn " + fpe2(2000), "F0Mx " + fpe2(6000)});
    EXPECT_EQ(reply("set 0 3000"), "OK set fan=0 rpm=3000");
    EXPECT_EQ(key("F0Mn"), fpe2(3000));
    EXPECT_EQ(reply("auto 0"), "OK auto fan=0");
    EXPECT_EQ(key("F0Mn"), fpe2(2000));
}
