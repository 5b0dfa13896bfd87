// `orvtool metrics` against the real Prometheus tools: promtool accepts its output on both
// machine families, with a fan forced or not and a daemon or none; node_exporter's textfile
// collector serves the file the packaged service's own command line writes, and a Prometheus
// server scraping it answers a forced fan's target and the temperatures as the emulator
// holds them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "DaemonRig.h"
#include "Deadline.h"
#include "SMCCodec.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kPromtool = "/usr/bin/promtool";
constexpr const char* kPrometheus = "/usr/bin/prometheus";
constexpr const char* kNodeExporter = "/usr/bin/prometheus-node-exporter";
constexpr const char* kCurl = "/usr/bin/curl";
constexpr int kForcedRpm = 3000;

// The value of the sample of `name` whose labels include every one of `labels` (each
// `label="value"`); none when there is no such line.
std::optional<double> sampleOf(const std::string& text, const std::string& name,
                               const std::vector<std::string>& labels = {}) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(name, 0) != 0) continue;
        const char next = line.size() > name.size() ? line[name.size()] : '\0';
        if (next != ' ' && next != '{') continue;
        bool all = true;
        for (const std::string& label : labels)
            all = all && line.find(label) != std::string::npos;
        if (all) return std::stod(line.substr(line.rfind(' ') + 1));
    }
    return std::nullopt;
}

// The emulator's value of a key, decoded by the type it holds the key in.
std::optional<double> emulated(Emulator& emu, const std::string& key) {
    const std::string reply = emu.control("get " + key);  // "OK TYPE SIZE HEX"
    if (reply.rfind("OK ", 0) != 0 || reply.size() < 7) return std::nullopt;
    const std::string type = reply.substr(3, 4);
    const std::vector<std::uint8_t> bytes = emu.value(key);
    if (key[0] == 'T') return SMCCodec::decodeTemperature(bytes, type);
    return SMCCodec::decode(bytes, type);
}

class MetricsTest : public ::testing::Test {
  protected:
    void startRig(const std::string& profile) {
        if (::getuid() != 0) GTEST_SKIP() << "private mount namespaces need root";
        rig = std::make_unique<DaemonRig>(ORVTOOL_BINARY, profile);
        ASSERT_TRUE(rig->ok()) << rig->error();
        // Temperatures stand still, so that what the tool read is what the emulator holds.
        ASSERT_EQ(rig->emu().control("clock freeze").rfind("OK", 0), 0u);
    }
    // The key that holds a forced fan's speed: its target, or its raised minimum.
    std::string speedKey(int fan) const {
        return "F" + std::to_string(fan) + (rig->hasModeKeys() ? "Tg" : "Mn");
    }
    std::unique_ptr<DaemonRig> rig;
};

// Parameters: the machine family, a fan forced, a daemon running.
class PromtoolCheck : public MetricsTest,
                      public ::testing::WithParamInterface<std::tuple<const char*, bool, bool>> {};

TEST_P(PromtoolCheck, OutputIsCleanAndSaysWhatTheMachineAndTheDaemonDo) {
    const auto [profile, forced, daemon] = GetParam();
    startRig(profile);
    if (daemon) {
        ASSERT_TRUE(rig->start({"serve"})) << rig->daemon().err(100ms);
    }
    if (forced) {
        if (daemon) {
            ASSERT_EQ(rig->request("set 0 " + std::to_string(kForcedRpm)).rfind("OK", 0), 0u);
        } else {
            ASSERT_EQ(rig->tool({"set", "0", std::to_string(kForcedRpm)}).status, 0);
        }
        ASSERT_TRUE(rig->forced(0));
    }
    const ProcessResult run = rig->tool({"metrics"});
    ASSERT_EQ(run.status, 0) << run.err;
    ProcessOptions input;
    input.input = run.out;
    const ProcessResult check = runProgram({kPromtool, "check", "metrics"}, input);
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_EQ(check.out + check.err, "") << "promtool has remarks";

    const std::string& text = run.out;
    EXPECT_EQ(sampleOf(text, "orvane_up"), 1);
    EXPECT_EQ(sampleOf(text, "orvane_daemon_up"), daemon ? 1 : 0);
    EXPECT_EQ(sampleOf(text, "orvane_daemon_leases").has_value(), daemon);
    const std::string fan0 = "fan=\"0\"";
    const std::string control = forced ? "control=\"set\"" : "control=\"automatic\"";
    EXPECT_EQ(sampleOf(text, "orvane_fan_forced", {fan0, control}), forced ? 1 : 0) << text;
    EXPECT_EQ(sampleOf(text, "orvane_fan_forced", {"fan=\"1\"", "control=\"automatic\""}), 0);
    if (forced) {
        EXPECT_EQ(sampleOf(text, "orvane_fan_target_rpm", {fan0}), kForcedRpm);
    }
    for (const char* kind :
         {"fan_speed", "fan_target", "fan_min", "fan_max", "fan_forced", "temperature"})
        EXPECT_EQ(sampleOf(text, "orvane_read_failures", {std::string("reading=\"") + kind + "\""}),
                  0)
            << kind;
}

INSTANTIATE_TEST_SUITE_P(Metrics, PromtoolCheck,
                         ::testing::Combine(::testing::Values(machines::kModeKeys,
                                                              machines::kRaisedMinimum),
                                            ::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(machines::hasModeKeys(std::get<0>(info.param))
                                                    ? "ModeKeys"
                                                    : "RaisedMinimum") +
                                    (std::get<1>(info.param) ? "Forced" : "Automatic") +
                                    (std::get<2>(info.param) ? "Daemon" : "NoDaemon");
                         });

// A reading that fails is left out and counted, never written as 0.
TEST_F(MetricsTest, AFailingReadingIsLeftOutAndCounted) {
    startRig(machines::kModeKeys);
    ASSERT_EQ(rig->emu().control("fault F1Ac read e00002c0").rfind("OK", 0), 0u);
    ASSERT_EQ(rig->emu().control("fault TC0P read e00002c0").rfind("OK", 0), 0u);
    const ProcessResult run = rig->tool({"metrics"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(sampleOf(run.out, "orvane_fan_speed_rpm", {"fan=\"1\""})) << run.out;
    EXPECT_TRUE(sampleOf(run.out, "orvane_fan_speed_rpm", {"fan=\"0\""}));
    EXPECT_TRUE(sampleOf(run.out, "orvane_fan_target_rpm", {"fan=\"1\""}));
    EXPECT_FALSE(sampleOf(run.out, "orvane_temperature_celsius", {"sensor=\"TC0P\""}));
    EXPECT_TRUE(sampleOf(run.out, "orvane_temperature_celsius", {"sensor=\"TC0D\""}));
    EXPECT_EQ(sampleOf(run.out, "orvane_read_failures", {"reading=\"fan_speed\""}), 1);
    EXPECT_EQ(sampleOf(run.out, "orvane_read_failures", {"reading=\"temperature\""}), 1);
    EXPECT_EQ(sampleOf(run.out, "orvane_read_failures", {"reading=\"fan_target\""}), 0);
}

// A free TCP port on 127.0.0.1 (the kernel's pick; closed again for the server to take).
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// The body of an HTTP GET, empty when it fails.
std::string get(const std::string& url) {
    const ProcessResult r = runProgram({kCurl, "-sf", "--max-time", "5", url}, {}, 10s);
    return r.status == 0 ? r.out : "";
}

// The packaged service's command line, as words.
std::vector<std::string> packagedCommand() {
    std::ifstream unit(ORVANE_SOURCE_DIR "/packaging/com.orvane.metrics.service");
    for (std::string line; std::getline(unit, line);) {
        if (line.rfind("ExecStart=", 0) != 0) continue;
        std::istringstream words(line.substr(10));
        std::vector<std::string> argv;
        for (std::string word; words >> word;)
            argv.push_back(word);
        return argv;
    }
    return {};
}

class ScrapeTest : public MetricsTest, public ::testing::WithParamInterface<const char*> {
  protected:
    void TearDown() override {
        std::error_code ignored;
        if (!work.empty()) fs::remove_all(work, ignored);
    }
    std::string work;
};

TEST_P(ScrapeTest, PrometheusAnswersTheForcedTargetAndTheTemperaturesTheEmulatorHolds) {
    startRig(GetParam());
    ASSERT_EQ(rig->tool({"set", "0", std::to_string(kForcedRpm)}).status, 0);
    // The textfile directory inside the rig's namespace, root's and 0755 like the collector's.
    const std::string inside = "/tmp/node-exporter";
    ASSERT_TRUE(fs::create_directory(rig->tmp().path(inside)));
    ASSERT_EQ(::chmod(rig->tmp().path(inside).c_str(), 0755), 0);

    // The service's command line with only the directory of its file replaced.
    std::vector<std::string> argv = packagedCommand();
    ASSERT_EQ(argv.size(), 4u);
    ASSERT_EQ(argv[0], "/usr/bin/orvtool");
    ASSERT_EQ(argv[2], "--output");
    const std::string fileName = fs::path(argv[3]).filename();
    ASSERT_EQ(fileName, "orvane.prom");
    const ProcessResult run = rig->tool({argv[1], argv[2], inside + "/" + fileName});
    ASSERT_EQ(run.status, 0) << run.err;

    std::string tmpl = "/tmp/orvprom.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    work = tmpl;
    const int exporterPort = freePort(), serverPort = freePort();
    ASSERT_NE(exporterPort, 0);
    ASSERT_NE(serverPort, 0);
    const std::string exporter = "127.0.0.1:" + std::to_string(exporterPort);
    ProcessOptions logged;
    logged.capture = false;
    logged.logFile = work + "/node-exporter.log";
    Process nodeExporter = Process::start(
        {kNodeExporter, "--web.listen-address=" + exporter, "--collector.disable-defaults",
         "--collector.textfile", "--collector.textfile.directory=" + rig->tmp().path(inside)},
        logged);
    std::string served;
    ASSERT_TRUE(waitUntil(
        [&] { return !(served = get("http://" + exporter + "/metrics")).empty(); }, 20s, 100ms));
    EXPECT_EQ(sampleOf(served, "orvane_up"), 1) << served;
    EXPECT_EQ(sampleOf(served, "orvane_fan_forced", {"fan=\"0\"", "control=\"set\""}), 1);

    {
        std::ofstream config(work + "/prometheus.yml");
        config << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                  "scrape_configs:\n  - job_name: orvane\n    static_configs:\n"
                  "      - targets: ['"
               << exporter << "']\n";
    }
    const std::string server = "http://127.0.0.1:" + std::to_string(serverPort);
    logged.logFile = work + "/prometheus.log";
    Process prometheus =
        Process::start({kPrometheus, "--config.file=" + work + "/prometheus.yml",
                        "--storage.tsdb.path=" + work + "/data",
                        "--web.listen-address=127.0.0.1:" + std::to_string(serverPort)},
                       logged);
    // An instant query's vector once the first scrape is in: {labels: value}.
    const auto query = [&](const std::string& promql) {
        std::map<std::string, double> values;
        const std::string body = get(server + "/api/v1/query?query=" + promql);
        const auto json = nlohmann::json::parse(body, nullptr, false);
        if (json.is_discarded() || json.value("status", "") != "success") return values;
        for (const auto& r : json["data"]["result"]) {
            const auto& m = r["metric"];
            const std::string key = m.contains("sensor") ? m["sensor"].get<std::string>()
                                                         : m.value("fan", std::string());
            values[key] = std::stod(r["value"][1].get<std::string>());
        }
        return values;
    };
    std::map<std::string, double> targets;
    ASSERT_TRUE(
        waitUntil([&] { return !(targets = query("orvane_fan_target_rpm")).empty(); }, 60s, 250ms))
        << "no series in Prometheus; its log is " << work << "/prometheus.log";
    const auto held = emulated(rig->emu(), speedKey(0));
    ASSERT_TRUE(held);
    EXPECT_EQ(targets["0"], *held);
    EXPECT_EQ(targets["0"], kForcedRpm);

    const std::map<std::string, double> temperatures = query("orvane_temperature_celsius");
    ASSERT_FALSE(temperatures.empty());
    for (const auto& [sensor, celsius] : temperatures) {
        const auto now = emulated(rig->emu(), sensor);
        ASSERT_TRUE(now) << sensor;
        // The clock is frozen: only the encoding's precision lies between them.
        EXPECT_NEAR(celsius, *now, 0.05) << sensor;
    }
}

INSTANTIATE_TEST_SUITE_P(Metrics, ScrapeTest,
                         ::testing::Values(machines::kModeKeys, machines::kRaisedMinimum),
                         [](const auto& info) {
                             return std::string(
                                 machines::hasModeKeys(info.param) ? "ModeKeys" : "RaisedMinimum");
                         });

}  // namespace
