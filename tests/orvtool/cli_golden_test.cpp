// The orvtool binary against emulated machines: standard output, standard error and exit
// status compared byte for byte. Every machine runs on a frozen clock with the keys the
// output depends on pinned to known values, so expected numbers follow from the pins.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ControlProtocol.h"
#include "Emulator.h"
#include "PrivateTmp.h"
#include "Process.h"
#include "Reply.h"
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
    " | curve <fanIndex> <来源> <温度>:<rpm>… | curve <fanIndex> off"
    " | floor <fanIndex> <rpm> | floor <fanIndex> off | curves | status"
    " | metrics [--output <文件>]"
    "（info、rpm、sensors、watch、curves、status 可加 --json）\n";
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

namespace {

constexpr uid_t kNobody = 65534;

// A stand-in for the daemon in a private /tmp and /run: it listens at `at` as `uid` and
// answers the first line of each connection with the next of its replies (none: it stays
// silent until the client gives up; an empty one, or past the last: it closes at once).
// For each connection it reports "got:" and the line it read on its standard output.
class FakeDaemon {
  public:
    FakeDaemon(PrivateTmp& ns, std::vector<std::optional<std::string>> replies,
               const std::string& at = paths::kSocketPath, uid_t uid = 0) {
        ProcessOptions options;
        options.uid = uid;
        options.namespaceFd = ns.namespaceFd();
        process_ = Process::call(
            [replies, at] {
                ::mkdir(paths::kRunDir, 0755);
                sockaddr_un address{};
                address.sun_family = AF_UNIX;
                std::snprintf(address.sun_path, sizeof address.sun_path, "%s", at.c_str());
                const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                    ::listen(fd, 8) != 0)
                    return 1;
                (void)!::write(STDOUT_FILENO, "listening\n", 10);
                for (std::size_t i = 0;; ++i) {
                    const int peer = ::accept(fd, nullptr, nullptr);
                    if (peer < 0) continue;
                    std::string line;
                    char c = 0;
                    while (::read(peer, &c, 1) == 1 && c != '\n')
                        line += c;
                    const std::string report = "got:" + line + "\n";
                    (void)!::write(STDOUT_FILENO, report.data(), report.size());
                    if (i < replies.size() && !replies[i]) {
                        while (::read(peer, &c, 1) == 1) {
                        }
                    } else if (i < replies.size() && !replies[i]->empty()) {
                        const std::string reply = *replies[i] + "\n";
                        (void)!::write(peer, reply.data(), reply.size());
                    }
                    ::close(peer);
                }
            },
            options);
        ok_ = process_.outLine() == "listening";
    }
    bool ok() const { return ok_; }
    // The line the next connection brought, or "(none)" when none came.
    std::string nextRequest() {
        const std::string report = process_.outLine();
        return report.rfind("got:", 0) == 0 ? report.substr(4) : "(none)";
    }

  private:
    Process process_;
    bool ok_ = false;
};

// The requests to the daemon, run in a private /tmp and /run where only a stand-in listens,
// and with no SMC to be found: they must not open one.
class DaemonRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp and /run need root";
        ASSERT_TRUE(ns.ok()) << ns.error();
    }
    Result tool(const std::vector<std::string>& args) {
        std::vector<std::string> argv{ORVTOOL_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessOptions options;
        options.namespaceFd = ns.namespaceFd();
        options.env.push_back({"SMCEMU_SOCKET", "/nonexistent/orvtool-test/smc.sock"});
        options.env.push_back({"TZ", "UTC"});  // the start time `status` shows
        return runProgram(argv, options);
    }

    PrivateTmp ns;
};

std::string replyOf(const protocol::Reply& reply) {
    return protocol::formatReply(reply);
}

// A status as a daemon sends it: a leased fan whose speed cannot be read and a curve's fan.
const std::string kStatusJson =
    R"({"version":"1.0.0","started":1765375200,"pid":812,"owner_uid":501,"lease_grace":10,)"
    R"("fans":[{"fan":0,"name":"Left","current":null,"target":2500,"min":1200,"max":6000,)"
    R"("forced":true,"control":"lease","uid":501,"lease":true,"setting":null},)"
    R"({"fan":1,"name":"Right","current":3012.4,"target":3100,"min":1300,"max":6200,)"
    R"("forced":true,"control":"curve","uid":null,"lease":false,)"
    R"("setting":"curve 1 cpu 40:2500 80:5000"}],)"
    R"("leases":[{"uid":501,"connections":1,"fans":[0],"grace_left":null}],)"
    R"("guard":{"tripped":false,"celsius":61.5,"trip_celsius":95,"cool_celsius":90},)"
    R"("counters":{"set_again":{"wake":0,"change":1},)"
    R"("hand_backs":{"lease":0,"guard":0,"sleep":0,"given_up":0},)"
    R"("refusals":{"connections":0,"requests":2},"guard_trips":0}})";

}  // namespace

// Each command is one request line of its words; the reply's line is printed, on standard
// output with status 0 when it is OK, else on standard error with status 1.
TEST_F(DaemonRequests, EachCommandSendsItsWordsAndExitsByTheReply) {
    const std::string listing = "curve 0 max:TC0P,gpu 40.5:1500 80:5000; floor 1 2000";
    struct Case {
        std::vector<std::string> args;
        std::string request;
        std::optional<std::string> reply;
        std::string out;
        std::optional<std::string> err;  // none: some message of the tool's own
        int status;
    };
    const Case cases[] = {
        {{"curve", "0", "cpu", "40:1500", "80:5000"},
         "curve 0 cpu 40:1500 80:5000",
         replyOf(protocol::Reply::curve(0)),
         "OK curve fan=0\n",
         "",
         0},
        {{"curve", "1", "max:TC0P,gpu", "30:1200", "55.5:2500", "70:4000", "90:6000"},
         "curve 1 max:TC0P,gpu 30:1200 55.5:2500 70:4000 90:6000",
         replyOf(protocol::Reply::curve(1)),
         "OK curve fan=1\n",
         "",
         0},
        {{"curve", "1", "off"},
         "curve 1 off",
         replyOf(protocol::Reply::curveOff(1)),
         "OK curve off fan=1\n",
         "",
         0},
        {{"floor", "1", "2000"},
         "floor 1 2000",
         replyOf(protocol::Reply::floor(1, 2000)),
         "OK floor fan=1 rpm=2000\n",
         "",
         0},
        {{"floor", "0", "off"},
         "floor 0 off",
         replyOf(protocol::Reply::floorOff(0)),
         "OK floor off fan=0\n",
         "",
         0},
        // The daemon judges the words.
        {{"curve", "0", "cpu", "80:1500", "40:5000"},
         "curve 0 cpu 80:1500 40:5000",
         replyOf(protocol::Reply::standingInvalid("x")),
         "",
         replyOf(protocol::Reply::standingInvalid("x")) + "\n",
         1},
        {{"floor", "0", "2000"},
         "floor 0 2000",
         replyOf(protocol::Reply::standingRefused()),
         "",
         replyOf(protocol::Reply::standingRefused()) + "\n",
         1},
        {{"curves"},
         "curves",
         replyOf(protocol::Reply::curves(listing)),
         lines({"curve 0 max:TC0P,gpu 40.5:1500 80:5000", "floor 1 2000"}),
         "",
         0},
        {{"curves"},
         "curves",
         replyOf(protocol::Reply::curves({})),
         "没有设置曲线或最低转速\n",
         "",
         0},
        // A daemon without curves, a line of no kind, the wrong OK, a setting --json cannot
        // read, a silent daemon and one that closes without a reply.
        {{"curves"},
         "curves",
         replyOf(protocol::Reply::unknownCommand("curves")),
         "",
         replyOf(protocol::Reply::unknownCommand("curves")) + "\n",
         1},
        {{"floor", "0", "2000"}, "floor 0 2000", "hello", "", std::nullopt, 1},
        {{"curves"}, "curves", replyOf(protocol::Reply::bye()), "", std::nullopt, 1},
        {{"curves", "--json"},
         "curves",
         "OK curves floor 1 2000; curve 0 fly 1:1",
         "",
         std::nullopt,
         1},
        {{"floor", "0", "2000"}, "floor 0 2000", std::nullopt, "", std::nullopt, 1},
        {{"curve", "0", "off"}, "curve 0 off", "", "", std::nullopt, 1},
        // The daemon's state: a table of the fans, then the rest; or the object as it came.
        {{"status"},
         "status",
         replyOf(protocol::Reply::status(kStatusJson)),
         lines({"风扇  名称   当前  目标  最小  最大  控制  持有者    设置",
                "0     Left   -     2500  1200  6000  租约  uid 501   -",
                "1     Right  3012  3100  1300  6200  曲线  控制服务  curve 1 cpu 40:2500 80:5000",
                "租约 uid 501: 连接 1 个，风扇 0",
                "过热保护: 未触发，当前 61.5 ℃（95 ℃ 触发，低于 90 ℃ 解除）",
                "重新设定: 唤醒后 0，被 SMC 改回后 1",
                "自动交还: 租约到期 0，过热 0，睡眠前 0，放弃 0", "拒绝: 连接 0，请求 2",
                "过热触发: 0 次",
                "版本 1.0.0，pid 812，启动于 2025-12-10 14:00:00，所有者 uid 501，租约宽限 10 秒"}),
         "",
         0},
        {{"status", "--json"},
         "status",
         replyOf(protocol::Reply::status(kStatusJson)),
         kStatusJson + "\n",
         "",
         0},
        // A daemon without `status`, an object missing a field, one that is no JSON.
        {{"status"},
         "status",
         replyOf(protocol::Reply::unknownCommand("status")),
         "",
         replyOf(protocol::Reply::unknownCommand("status")) + "\n",
         1},
        {{"status", "--json"},
         "status",
         replyOf(protocol::Reply::status(R"({"version":"1.0.0"})")),
         "",
         std::nullopt,
         1},
        {{"status"}, "status", "OK status {", "", std::nullopt, 1},
    };
    std::vector<std::optional<std::string>> replies;
    for (const Case& c : cases)
        replies.push_back(c.reply);
    FakeDaemon daemon(ns, replies);
    ASSERT_TRUE(daemon.ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Result r = tool(c.args);
        EXPECT_EQ(daemon.nextRequest(), c.request);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, c.out);
        if (c.err) {
            EXPECT_EQ(r.err, *c.err);
        } else {
            EXPECT_NE(r.err, "");
        }
    }
}

TEST_F(DaemonRequests, CurvesAsJsonReadsBackAsTheSettings) {
    FakeDaemon daemon(
        ns, {"OK curves curve 0 max:TC0P,gpu 40.5:1500 80:5000; floor 1 2000", "OK curves"});
    ASSERT_TRUE(daemon.ok());
    const Result r = tool({"curves", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const nlohmann::json list = nlohmann::json::parse(r.out);
    const nlohmann::json expected = nlohmann::json::parse(R"([
        {"fan": 0, "kind": "curve", "source": "max:TC0P,gpu",
         "points": [{"celsius": 40.5, "rpm": 1500}, {"celsius": 80, "rpm": 5000}],
         "floor_rpm": null},
        {"fan": 1, "kind": "floor", "source": null, "points": null, "floor_rpm": 2000}])");
    EXPECT_EQ(list, expected) << r.out;
    const Result none = tool({"curves", "--json"});  // an empty list
    EXPECT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(nlohmann::json::parse(none.out), nlohmann::json::array()) << none.out;
}

// Words that are not the request's shape get the usage and no request: the daemon's first
// connection is the valid command after them.
TEST_F(DaemonRequests, WrongWordsPrintTheUsageAndSendNothing) {
    FakeDaemon daemon(ns, {replyOf(protocol::Reply::curves({}))});
    ASSERT_TRUE(daemon.ok());
    const std::string curve =
        "用法: orvtool curve <fanIndex> <来源> <温度>:<rpm> <温度>:<rpm> […]（2 到 8 "
        "个点，温度递增）\n"
        "      orvtool curve <fanIndex> off\n"
        "来源: cpu、gpu、传感器键（见 orvtool sensors）或 max:<键>,<键>…（取其中最热的）\n";
    const std::string floor =
        "用法: orvtool floor <fanIndex> <rpm>\n"
        "      orvtool floor <fanIndex> off\n";
    const std::string curves = "用法: orvtool curves [--json]\n";
    const std::string status = "用法: orvtool status [--json]\n";
    const std::vector<std::string> ninePoints = {"curve", "0",    "cpu",  "10:1", "20:2", "30:3",
                                                 "40:4",  "50:5", "60:6", "70:7", "80:8", "90:9"};
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"curve"}, curve},
        {{"curve", "0"}, curve},
        {{"curve", "0", "cpu"}, curve},
        {{"curve", "0", "cpu", "40:1500"}, curve},
        {ninePoints, curve},
        {{"curve", "0", "off", "now"}, curve},
        {{"curve", "0", "cpu", "40:1500", "80:5000\nquit"}, curve},
        {{"floor"}, floor},
        {{"floor", "0"}, floor},
        {{"floor", "0", "2000", "3000"}, floor},
        {{"floor", "0", "20 00"}, floor},
        {{"floor", "0", ""}, floor},
        {{"floor", "0", "2000", "--json"}, floor},
        {{"curves", "all"}, curves},
        {{"status", "now"}, status},
    };
    for (const auto& [args, err] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        expectRun(tool(args), "", err, 1);
    }
    EXPECT_EQ(tool({"curves"}).status, 0);
    EXPECT_EQ(daemon.nextRequest(), "curves");
}

// With nobody at either address, or only another user's listener at the /tmp one, the
// command fails with a message of its own; the other user's listener is told nothing.
TEST_F(DaemonRequests, NoTrustedDaemonMeansStatusOneAndNothingSent) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"curves"}, {"floor", "0", "off"}, {"status"}}) {
        const Result r = tool(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
    FakeDaemon planted(ns, {replyOf(protocol::Reply::curve(0))}, paths::kFallbackSocketPath,
                       kNobody);
    ASSERT_TRUE(planted.ok());
    const Result r = tool({"curve", "0", "cpu", "40:1500", "80:5000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(paths::kFallbackSocketPath), std::string::npos) << r.err;
    EXPECT_EQ(planted.nextRequest(), "");
}
