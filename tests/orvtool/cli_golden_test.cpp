// The orvtool binary against emulated machines: standard output, standard error and exit
// status compared byte for byte. Every machine runs on a frozen clock with the keys the
// output depends on pinned to known values, so expected numbers follow from the pins.
#include <gtest/gtest.h>
#include <unistd.h>

#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Emulator.h"
#include "ToolProcess.h"

using tooltest::flt;
using tooltest::fpe2;
using tooltest::lines;
using tooltest::Result;
using tooltest::runTool;
using tooltest::sp78;

// Skips the calling test unless the emulated SMC takes writes from this process.
#define REQUIRE_ROOT() \
    if (::getuid() != 0) GTEST_SKIP() << "SMC writes need root"

namespace {

const std::string kUsage =
    "用法: orvtool info | rpm | sensors | set <fanIndex> <rpm> | auto | watch <秒数> | serve"
    "（info、rpm、sensors、watch 可加 --json）\n";
const std::string kRefused = "写入被拒(kr=0xe00002c1)——普通用户权限不足，需 root/特权 helper";
const std::string kInf = flt(std::numeric_limits<float>::infinity());

void expectRun(const Result& r, const std::string& out, const std::string& err, int status) {
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, status);
}

// "0x00 0x00 0x96 0x44" for the hex text "00009644".
std::string byteList(const std::string& hex) {
    std::string s;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        s += (i ? " 0x" : "0x") + hex.substr(i, 2);
    return s;
}

class GoldenTest : public ::testing::Test {
  protected:
    void start(const std::string& profile, std::initializer_list<std::string> pins) {
        emu = std::make_unique<Emulator>(Emulator::shippedProfile(profile));
        ASSERT_EQ(emu->control("clock freeze").rfind("OK", 0), 0u);
        for (const std::string& pin : pins)
            ASSERT_EQ(emu->control(pin).rfind("OK", 0), 0u) << pin;
    }
    std::string key(const std::string& name) { return tooltest::hexOf(emu->value(name)); }

    std::unique_ptr<Emulator> emu;
};

// A recent two-fan machine: mode keys and "flt " values.
class Recent : public GoldenTest {
  protected:
    void SetUp() override {
        start("recent-2fan.prof",
              {"set F0Ac " + flt(2480.9f), "set F0Mn " + flt(1200), "set F0Mx " + flt(5700),
               "set F0Tg " + flt(1500), "set F1Ac " + flt(3100.2f), "set F1Mn " + flt(1300),
               "set F1Mx " + flt(6200), "set TC0P " + sp78(51.5), "set TG0P " + sp78(41.5)});
    }
};

// An older two-fan machine: no mode keys, "fpe2" values, names and a force flag.
class Older : public GoldenTest {
  protected:
    void SetUp() override {
        start("older-2fan.prof",
              {"set F0Ac " + fpe2(2480.75), "set F0Mn " + fpe2(2000), "set F0Mx " + fpe2(6000),
               "set F1Ac " + fpe2(2600), "set F1Mn " + fpe2(2100), "set F1Mx " + fpe2(6200),
               "set TC0D " + sp78(48.5), "set TG0P " + sp78(-3.5),
               "set F0ID 00000000 4c656674207369646500 0000",  // "Left side", NUL padded
               "set F1ID 05000000 5269676874 00000000000000",  // length 5, "Right"
               "set \"FS! \" 0100"});
    }
};

}  // namespace

TEST(GoldenWithoutSMC, EveryCommandStopsAtTheSMCError) {
    tooltest::RunOptions noSMC{"/nonexistent/orvtool-test/smc.sock"};
    for (const char* command : {"info", "bogus", "serve"}) {
        expectRun(runTool({command}, noSMC), "", "SMC 初始化失败: 未找到 AppleSMC 服务\n", 1);
    }
}

TEST_F(Recent, UsageErrorsPrintOnlyToStandardErrorAndWriteNothing) {
    const std::string calls = emu->control("calls");
    expectRun(runTool({}), "", kUsage, 1);
    EXPECT_EQ(emu->control("calls"), calls);  // no SMC access without a subcommand

    const std::string set = "用法: orvtool set <fanIndex> <rpm>\n";
    const std::string watch = "用法: orvtool watch <秒数> [--json]\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"bogus", "x"}, "未知子命令: bogus\n" + kUsage},
        {{"Info"}, "未知子命令: Info\n" + kUsage},
        {{"set"}, set},
        {{"set", "0"}, set},
        {{"set", "0", "2000", "1"}, set},
        {{"set", "0", " 2000"}, set},
        {{"set", "0", "2000.0"}, set},
        {{"set", "zero", "2000"}, set},
        {{"set", "0", "9223372036854775808"}, set},
        {{"set", "-1", "2000"}, "风扇索引越界: -1（共 2 个风扇）\n"},
        {{"set", "4294967296", "2000"}, "风扇索引越界: 4294967296（共 2 个风扇）\n"},
        {{"watch"}, watch},
        {{"watch", ""}, watch},
        {{"watch", " 1"}, watch},
        {{"watch", "1s"}, watch},
        {{"watch", "1", "2"}, watch},
        {{"watch", "--json", "1", "2"}, watch},
        {{"set", "0", "2000", "--json"}, set},  // only the commands that read take it
        // Durations without a representable sample count; nothing reaches standard output.
        {{"watch", "-0.1"}, watch},
        {{"watch", "nan"}, watch},
        {{"watch", "1e400"}, watch},
        {{"watch", "5e18"}, watch},
    };
    for (const auto& [args, err] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        expectRun(runTool(args), "", err, 1);
    }
    EXPECT_EQ(key("F0Md") + key("F0Tg"), "00" + flt(1500));
}

// Every sensor in every temperature type, sorted by key, a name where the key is a
// well-known one; placeholders and impossible readings counted on the last line.
TEST(GoldenSensors, SensorsListsEveryTypeAndCountsWhatItLeavesOut) {
    Emulator emu(std::string(ORVANE_SOURCE_DIR) + "/tests/support/sensors.prof");
    ASSERT_EQ(emu.control("clock freeze").rfind("OK", 0), 0u);
    ASSERT_EQ(emu.control("set TC1C " + tooltest::hexOf({0x19, 0x33})), "OK");  // 50.4 in sp87
    expectRun(
        runTool({"sensors"}),
        lines({"TA0P    30.0 ℃  环境", "TB1T    36.0 ℃  电池 1", "TC0P    50.0 ℃  CPU 近端",
               "TC1C    50.4 ℃  CPU 核心 1", "TG0D    46.0 ℃  GPU 芯片", "TM0P    36.0 ℃  内存近端",
               "TPCD    36.0 ℃  平台控制器芯片", "TW0P    36.0 ℃  无线网卡近端", "TZ9P    36.0 ℃",
               "略去 6 个传感器（读不到、占位值，或读数 ≤ -40 ℃ 或 ≥ 150 ℃）"}),
        "", 0);
    // Without the key index nothing can be listed: the reason, and status 1.
    ASSERT_EQ(emu.control("fault #KEY info e00002bc").rfind("OK", 0), 0u);
    expectRun(runTool({"sensors"}), "", "读不到 SMC 的键索引: SMC 调用失败(cmd=9, kr=0xe00002bc)\n",
              1);
}

TEST_F(Recent, InfoShowsEveryFanAndIgnoresExtraArguments) {
    // A NaN speed shows 0 and an infinite limit saturates; the Mn bytes are those at start.
    for (const char* pin :
         {"set F0Md 03", "set F1Md 02", "set F0Sf 0bb8", "set F1Sf 0000", "set F1Ac 0000c07f"})
        ASSERT_EQ(emu->control(pin), "OK");
    ASSERT_EQ(emu->control("set F1Mx " + kInf), "OK");
    const std::string expected = lines({
        "风扇数: 2",
        "— 风扇 0: Fan 0",
        "    当前 RPM: 2480  (Ac dataType=flt )",
        "    Min/Max: 1200 / 5700",
        "    安全转速 Sf: 3000",
        "    F0Md: 存在, 当前=0x3 (手动(0x01)) → 走新机型 Md+Tg 路径",
        "    启动时 Mn 原始字节: " + byteList(flt(1200)),
        "— 风扇 1: Fan 1",
        "    当前 RPM: 0  (Ac dataType=flt )",
        "    Min/Max: 1300 / 9223372036854775807",
        "    安全转速 Sf: 0",
        "    F1Md: 存在, 当前=0x2 (自动(0x00)) → 走新机型 Md+Tg 路径",
        "    启动时 Mn 原始字节: " + byteList(flt(1300)),
        "FS! 全局强制标志: (不存在)",
        "CPU 温度: 51.5 ℃",
        "GPU 温度: 41.5 ℃",
        "SMC: 模拟器 (" + emu->socketPath() + ")",
    });
    expectRun(runTool({"info"}), expected, "", 0);
    expectRun(runTool({"info", "extra", "args"}), expected, "", 0);
}

TEST_F(Older, InfoShowsNamesForceFlagAndTheMinimumPath) {
    expectRun(runTool({"info"}),
              lines({
                  "风扇数: 2",
                  "— 风扇 0: Left side",
                  "    当前 RPM: 2480  (Ac dataType=fpe2)",
                  "    Min/Max: 2000 / 6000",
                  "    安全转速 Sf: (不存在)",
                  "    F0Md: 不存在 → 走老机型 Mn 路径",
                  "    启动时 Mn 原始字节: " + byteList(fpe2(2000)),
                  "— 风扇 1: Right",
                  "    当前 RPM: 2600  (Ac dataType=fpe2)",
                  "    Min/Max: 2100 / 6200",
                  "    安全转速 Sf: (不存在)",
                  "    F1Md: 不存在 → 走老机型 Mn 路径",
                  "    启动时 Mn 原始字节: " + byteList(fpe2(2100)),
                  "FS! 全局强制标志: 0x1 (强制)",
                  "CPU 温度: 48.5 ℃",
                  "GPU 温度: -3.5 ℃",
                  "SMC: 模拟器 (" + emu->socketPath() + ")",
              }),
              "", 0);
}

// A fan name is the SMC's bytes: in the text its control characters are escaped as in the
// daemon's log, so that a name cannot clear or retitle the terminal; JSON keeps the name.
TEST_F(Older, InfoEscapesTheControlCharactersOfAFanName) {
    // Length 11: ESC [ 2 J, "x", U+202E, BEL, "y", DEL; padded to the key's 16 bytes.
    ASSERT_EQ(emu->control("set F1ID 0b000000 1b5b324a 78 e280ae 07 79 7f 00").rfind("OK", 0), 0u);
    const std::string out = runTool({"info"}).out;
    EXPECT_NE(out.find("— 风扇 1: \\e[2Jx\\u202E\\x07y\\x7F\n"), std::string::npos) << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_EQ(out.find('\x07'), std::string::npos);
    EXPECT_EQ(out.find("\xe2\x80\xae"), std::string::npos);
    const std::string json = runTool({"info", "--json"}).out;
    EXPECT_EQ(nlohmann::json::parse(json)["fans"][1]["name"], "\x1b[2Jx\xe2\x80\xae\x07y\x7f")
        << json;
}

TEST_F(GoldenTest, InfoOnAFanWithoutKeysAndMissingTemperatures) {
    start("odd-cases.prof", {"set F2Ac " + fpe2(2000), "set TCAH " + sp78(60)});
    const std::string out = runTool({"info"}).out;
    const std::string tail = lines({
        "— 风扇 2: Rear fan",
        "    当前 RPM: 2000  (Ac dataType=fpe2)",
        "    Min/Max: 0 / 0",
        "    安全转速 Sf: (不存在)",
        "    F2Md: 不存在 → 走老机型 Mn 路径",
        "    启动时 Mn 原始字节: (未读到)",
        "FS! 全局强制标志: (不存在)",
        "CPU 温度: 60.0 ℃",
        "GPU 温度: (读不到)",
        "SMC: 模拟器 (" + emu->socketPath() + ")",
    });
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), tail.size())), tail);
}

TEST_F(Recent, RpmPrintsSpeedsUntilTheFirstFailure) {
    expectRun(runTool({"rpm", "x"}), "2480\n3100\n", "", 0);
    ASSERT_EQ(emu->control("fault F1Ac read e00002c1").rfind("OK", 0), 0u);
    expectRun(runTool({"rpm"}), "2480\n", "风扇 1 RPM 读取失败\n", 1);
}

TEST_F(Recent, SetWritesReportsAndReadsBack) {
    REQUIRE_ROOT();
    expectRun(
        runTool({"set", "0", "+2000"}),
        lines({"风扇 0 写入前 RPM: 2480  [Min=1200 Max=5700]", "目标转速 2000 → 钳制后写入 2000",
               "写入后立即读回 RPM: 2480（实际收敛需几秒）", "F0Md 读回: 0x1"}),
        "", 0);
    EXPECT_EQ(key("F0Tg"), flt(2000));
    expectRun(
        runTool({"set", "1", "99999"}),
        lines({"风扇 1 写入前 RPM: 3100  [Min=1300 Max=6200]", "目标转速 99999 → 钳制后写入 6200",
               "写入后立即读回 RPM: 3100（实际收敛需几秒）", "F1Md 读回: 0x1"}),
        "", 0);
    EXPECT_EQ(key("F1Tg"), flt(6200));
}

TEST_F(Recent, SetWithUnreadableSpeedAndAnInfiniteLimitWritesNothing) {
    REQUIRE_ROOT();
    ASSERT_EQ(emu->control("fault F1Ac read e00002c1").rfind("OK", 0), 0u);
    ASSERT_EQ(emu->control("set F1Mx " + kInf), "OK");
    const std::string failure = "key F1Mx dataType 异常: flt ";
    expectRun(runTool({"set", "1", "2000"}),
              "风扇 1 写入前 RPM: -1  [Min=1300 Max=9223372036854775807]\n",
              "写入失败: " + failure + "\n诊断: " + failure + "\n", 1);
    EXPECT_EQ(key("F1Md"), "00");
}

TEST_F(Recent, SetWithoutRootShowsTheRefusal) {
    REQUIRE_ROOT();  // to switch to another user
    const Result r = runTool({"set", "0", "2000"}, {nullptr, true});
    if (r.status == tooltest::kSetupFailed) GTEST_SKIP() << "cannot run the tool as nobody";
    expectRun(r, "风扇 0 写入前 RPM: 2480  [Min=1200 Max=5700]\n",
              "写入失败: " + kRefused + "\n诊断: " + kRefused + "\n", 1);
    EXPECT_EQ(key("F0Md"), "00");
}

TEST_F(Recent, SetThatTheDriverCannotWriteSaysSo) {
    REQUIRE_ROOT();
    ASSERT_EQ(emu->control("fault F0Md write e00002cf").rfind("OK", 0), 0u);
    const std::string unsupported = "写入被拒(kr=0xe00002cf)——此驱动不支持写入该键";
    expectRun(runTool({"set", "0", "2000"}), "风扇 0 写入前 RPM: 2480  [Min=1200 Max=5700]\n",
              "写入失败: " + unsupported + "\n诊断: " + unsupported + "\n", 1);
    EXPECT_EQ(key("F0Md"), "00");
}

TEST_F(Older, SetRaisesTheMinimumAndShowsNoModeByte) {
    REQUIRE_ROOT();
    expectRun(
        runTool({"set", "0", "3000"}),
        lines({"风扇 0 写入前 RPM: 2480  [Min=2000 Max=6000]", "目标转速 3000 → 钳制后写入 3000",
               "写入后立即读回 RPM: 2480（实际收敛需几秒）"}),
        "", 0);
    EXPECT_EQ(key("F0Mn"), fpe2(3000));
}

TEST_F(Recent, AutoRestoresAndReadsBackOrReportsTheFailure) {
    REQUIRE_ROOT();
    ASSERT_EQ(emu->control("set F0Md 01"), "OK");
    ASSERT_EQ(emu->control("set F1Md 03"), "OK");
    expectRun(runTool({"auto"}),
              lines({"已对 2 个风扇执行恢复自动", "风扇 0 F0Md 读回: 0x0 (自动 OK)",
                     "风扇 0 当前 RPM: 2480", "风扇 1 F1Md 读回: 0x0 (自动 OK)",
                     "风扇 1 当前 RPM: 3100"}),
              "", 0);
    EXPECT_EQ(key("F0Md") + key("F1Md"), "0000");

    // A fan that fails does not keep the next one forced: it is handed back, the failure is
    // reported and the status is 1.
    ASSERT_EQ(emu->control("set F0Md 01"), "OK");
    ASSERT_EQ(emu->control("set F1Md 01"), "OK");
    ASSERT_EQ(emu->control("fault F0Md write e00002c1").rfind("OK", 0), 0u);
    expectRun(runTool({"auto"}),
              lines({"已对 1 个风扇执行恢复自动", "风扇 0 F0Md 读回: 0x1 (仍强制!)",
                     "风扇 0 当前 RPM: 2480", "风扇 1 F1Md 读回: 0x0 (自动 OK)",
                     "风扇 1 当前 RPM: 3100"}),
              "恢复自动失败: " + kRefused + "\n", 1);
    EXPECT_EQ(key("F1Md"), "00");
}

TEST_F(Older, AutoShowsOnlyReadableSpeeds) {
    REQUIRE_ROOT();
    ASSERT_EQ(emu->control("fault F1Ac read e00002c1").rfind("OK", 0), 0u);
    expectRun(runTool({"auto"}), lines({"已对 2 个风扇执行恢复自动", "风扇 0 当前 RPM: 2480"}), "",
              0);
    EXPECT_EQ(key("F0Mn") + key("F1Mn"), fpe2(2000) + fpe2(2100));
}

TEST_F(Recent, WatchPrintsOneRowPerHalfSecond) {
    const std::string header = "时间(s)  | Fan0(1200-5700)  | Fan1(1300-6200)  | CPU℃  GPU℃";
    const std::string row = "  |  2480  |  3100  |  51.5  41.5";
    expectRun(runTool({"watch", "1.3"}),
              lines({header, "  0.0" + row, "  0.5" + row, "  1.0" + row}), "", 0);
    expectRun(runTool({"watch", "0"}), lines({header, "  0.0" + row}), "", 0);
    expectRun(runTool({"watch", "0x1p-1"}), lines({header, "  0.0" + row, "  0.5" + row}), "", 0);
}

TEST_F(GoldenTest, WatchShowsUnreadableValuesAsMinusOne) {
    // No GPU key on this machine, and its one fan's speed read fails.
    start("single-fan.prof", {"set F0Mn " + fpe2(1200), "set F0Mx " + fpe2(2700),
                              "set TCAD " + sp78(46.5), "fault F0Ac read e00002c1"});
    expectRun(runTool({"watch", "0"}),
              lines({"时间(s)  | Fan0(1200-2700)  | CPU℃  GPU℃", "  0.0  |    -1  |  46.5  -1.0"}),
              "", 0);
}
