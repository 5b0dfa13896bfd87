// --json parsed back and compared with the text output of the same state: the emulated
// machine on a frozen clock, both outputs taken one after the other, for a machine with
// mode keys and one without.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Emulator.h"
#include "ToolProcess.h"

using nlohmann::json;
using tooltest::flt;
using tooltest::runTool;

namespace {

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The JSON a command printed, which must be one object on one line.
json parsed(const std::vector<std::string>& args) {
    const tooltest::Result r = runTool(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
    return json::parse(r.out);
}

std::string oneDecimal(const json& value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", value.get<double>());
    return buf;
}

struct Machine {
    const char* profile;
    std::vector<std::string> pins;
};

void PrintTo(const Machine& machine, std::ostream* os) {
    *os << machine.profile;
}

class JsonMatchesText : public testing::TestWithParam<Machine> {
  protected:
    void SetUp() override {
        emu = std::make_unique<Emulator>(Emulator::shippedProfile(GetParam().profile));
        ASSERT_EQ(emu->control("clock freeze").rfind("OK", 0), 0u);
        for (const std::string& pin : GetParam().pins)
            ASSERT_EQ(emu->control(pin), "OK") << pin;
    }
    std::unique_ptr<Emulator> emu;
};

TEST_P(JsonMatchesText, Info) {
    const std::vector<std::string> text = split(runTool({"info"}).out);
    const json j = parsed({"info", "--json"});
    const json& fans = j["fans"];
    ASSERT_EQ(text.at(0), "风扇数: " + std::to_string(fans.size()));
    // Each fan: a header line and five more.
    for (std::size_t i = 0; i < fans.size(); ++i) {
        const json& fan = fans[i];
        const auto at = [&](std::size_t line) { return text.at(1 + 6 * i + line); };
        EXPECT_EQ(fan["index"], i);
        EXPECT_EQ(at(0), "— 风扇 " + std::to_string(i) + ": " + fan["name"].get<std::string>());
        EXPECT_EQ(at(1).substr(0, at(1).find("  (")),
                  "    当前 RPM: " + std::to_string(fan["current"].get<long long>()));
        EXPECT_EQ(at(2), "    Min/Max: " + fan["min"].dump() + " / " + fan["max"].dump());
        EXPECT_EQ(at(3), fan["safe"].is_null() ? "    安全转速 Sf: (不存在)"
                                               : "    安全转速 Sf: " + fan["safe"].dump());
        const bool modeKey = at(4).find("Md: 存在") != std::string::npos;
        EXPECT_EQ(fan["forcing_path"], modeKey ? json("mode_key") : json("minimum"));
        if (modeKey) {
            EXPECT_EQ(fan["forced"], at(4).find("手动") != std::string::npos);
        }
        EXPECT_TRUE(fan["target"].is_number()) << fan;
    }
    const std::size_t rest = 1 + 6 * fans.size();
    EXPECT_EQ(text.at(rest), j["force_flag"].is_null()
                                 ? "FS! 全局强制标志: (不存在)"
                                 : "FS! 全局强制标志: 0x" + j["force_flag"].dump() + " (自动)");
    EXPECT_EQ(text.at(rest + 1), "CPU 温度: " + oneDecimal(j["cpu"]) + " ℃");
    EXPECT_EQ(text.at(rest + 2), "GPU 温度: " + oneDecimal(j["gpu"]) + " ℃");
    EXPECT_EQ(j["backend"]["kind"], "emulator");
    EXPECT_EQ(text.at(rest + 3),
              "SMC: 模拟器 (" + j["backend"]["address"].get<std::string>() + ")");
    EXPECT_EQ(text.size(), rest + 4);
    // Every sensor is there too, as `sensors --json` lists them.
    EXPECT_EQ(j["temperatures"], parsed({"sensors", "--json"})["temperatures"]);
}

TEST_P(JsonMatchesText, Sensors) {
    const std::vector<std::string> text = split(runTool({"sensors"}).out);
    const json j = parsed({"sensors", "--json"});
    ASSERT_EQ(text.size(), j["temperatures"].size() + 1);
    std::size_t line = 0;
    for (const auto& [key, sensor] : j["temperatures"].items()) {
        std::string expected = key + "  " +
                               std::string(6 - oneDecimal(sensor["value"]).size(), ' ') +
                               oneDecimal(sensor["value"]) + " ℃";
        if (!sensor["name"].is_null()) expected += "  " + sensor["name"].get<std::string>();
        EXPECT_EQ(text.at(line++), expected);
    }
    EXPECT_EQ(text.back().rfind("略去 " + j["left_out"].dump() + " 个", 0), 0u) << text.back();
    EXPECT_GT(j["left_out"].get<int>(), 0);  // the shipped machines carry placeholders
}

TEST_P(JsonMatchesText, RpmAndWatchRows) {
    const std::vector<std::string> rpm = split(runTool({"rpm"}).out);
    const json speeds = parsed({"rpm", "--json"})["fans"];
    ASSERT_EQ(rpm.size(), speeds.size());
    for (std::size_t i = 0; i < rpm.size(); ++i)
        EXPECT_EQ(rpm[i], speeds[i]["current"].dump());

    // "watch 0.5": the header and two rows; as JSON, two row objects.
    const std::vector<std::string> watch = split(runTool({"watch", "0.5"}).out);
    const tooltest::Result r = runTool({"watch", "--json", "0.5"});
    const std::vector<std::string> rows = split(r.out);
    ASSERT_EQ(watch.size(), 3u);
    ASSERT_EQ(rows.size(), 2u);
    for (std::size_t n = 0; n < rows.size(); ++n) {
        const json row = json::parse(rows[n]);
        EXPECT_EQ(row["time"], 0.5 * static_cast<double>(n));
        std::string expected = row["time"] == 0 ? "  0.0" : "  0.5";
        for (const json& fan : row["fans"]) {
            const std::string current = fan["current"].dump();
            expected += "  | " + std::string(5 - current.size(), ' ') + current;
        }
        char temps[64];
        std::snprintf(temps, sizeof temps, "  | %5.1f %5.1f", row["cpu"].get<double>(),
                      row["gpu"].get<double>());
        EXPECT_EQ(watch[n + 1], expected + temps);
        EXPECT_EQ(row["fans"].size(), speeds.size());
        EXPECT_FALSE(row["temperatures"].empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Machines, JsonMatchesText,
    testing::Values(
        // Fan 1 forced through its mode key at 4000 rpm.
        Machine{"recent-2fan.prof", {"set F1Md 01", "set F1Tg " + flt(4000)}},
        Machine{"older-2fan.prof", {}}),
    [](const testing::TestParamInfo<Machine>& info) {
        return std::string(info.param.profile).substr(0, std::string(info.param.profile).find('-'));
    });

}  // namespace

// A machine whose fan 1 is forced shows it so, and its target.
TEST(JsonFields, ForcedFanAndNullsForWhatIsAbsent) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    ASSERT_EQ(emu.control("clock freeze").rfind("OK", 0), 0u);
    ASSERT_EQ(emu.control("set F1Md 01"), "OK");
    ASSERT_EQ(emu.control("set F1Tg " + flt(4000)), "OK");
    const json j = parsed({"info", "--json"});
    EXPECT_EQ(j["fans"][0]["forced"], false);
    EXPECT_EQ(j["fans"][1]["forced"], true);
    EXPECT_EQ(j["fans"][1]["target"], 4000);
    EXPECT_TRUE(j["force_flag"].is_null());  // this machine has no "FS! "
    // An unreadable speed is null, and rpm says which fan failed.
    ASSERT_EQ(emu.control("fault F1Ac read e00002bc").rfind("OK", 0), 0u);
    const tooltest::Result r = runTool({"rpm", "--json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "风扇 1 RPM 读取失败\n");
    const json speeds = json::parse(r.out)["fans"];
    EXPECT_TRUE(speeds[0]["current"].is_number());
    EXPECT_TRUE(speeds[1]["current"].is_null());
}
