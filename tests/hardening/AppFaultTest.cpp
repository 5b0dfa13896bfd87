// The application's write path against the real daemon on an emulator whose SMC fails: the
// boost's step writes, its restore, and Quit. Only a refused write ("写入被拒") is shown as
// "写入被拒绝"; other hardware errors the daemon reports show no alert.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QSettings>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "Alerts.h"
#include "AppDelegate.h"
#include "Emulator.h"
#include "ManualQueue.h"
#include "PrivateTmp.h"
#include "SettingsKeys.h"

using namespace std::chrono_literals;

namespace {

// An emulator key fault, what the daemon's reply to a write that meets it is, and the
// alerts each write on fan 0 therefore shows.
struct Fault {
    const char* name;
    const char* control;  // the emulator's fault command
    bool refusal;         // the daemon answers "ERR 写入被拒…"
};

const Fault kFaults[] = {
    {"refusedModeWrite", "fault F0Md write e00002c1", true},
    {"failedModeRead", "fault F0Md read e00002bc", false},
    {"failedTargetInfo", "fault F0Tg info e00002bc", false},
    {"droppedModeCall", "fault F0Md drop", false},
};

void PrintTo(const Fault& fault, std::ostream* out) {
    *out << fault.control;
}

class AppFaultTest : public ::testing::TestWithParam<Fault> {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp needs root";
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        QSettings().setValue(SettingsKeys::tempBoostEnabled, true);
        setAlertPresenter([this](AlertStyle, const std::string& title, const std::string&) {
            alerts.push_back(title);
        });
        emu = std::make_unique<Emulator>(Emulator::shippedProfile("recent-2fan.prof"));
        emu->control("clock freeze");
        tmp = std::make_unique<PrivateTmp>();
        ASSERT_TRUE(tmp->ok()) << tmp->error();
        const pid_t pid = tmp->start({ORVTOOL_BINARY, "serve"}, "/tmp/orvane-daemon.log");
        ASSERT_TRUE(tmp->waitForSocket("/tmp/orvane.sock", pid));

        AppDelegate::Seams seams;
        seams.launchDaemonPlistPath = dir.filePath("service.plist").toStdString();
        seams.queue = &queue;
        seams.showStatusItem = false;
        seams.daemon.socketPath = tmp->path("/tmp/orvane.sock");
        seams.daemon.toolPath = [] { return std::string(ORVTOOL_BINARY); };
        seams.daemon.kickstart = [] { return false; };
        // A daemon that went away must not be restarted behind the test's back.
        seams.daemon.launcher = [](const std::string&) -> std::optional<int> { return 1; };
        seams.daemon.probes = 1;
        seams.daemon.pollInterval = 1ms;
        seams.terminate = [this] { ++terminated; };
        seams.quitWaitLimit = 2s;
        seams.loginItem.home = dir.path().toStdString();
        seams.loginItem.service = std::shared_ptr<LoginItemService>();
        app = std::make_unique<AppDelegate>(seams);
    }
    void TearDown() override {
        app.reset();
        tmp.reset();
        emu.reset();
        setAlertPresenter(printAlertToStderr);
    }

    std::vector<std::string> refusals(std::size_t count) const {
        return std::vector<std::string>(GetParam().refusal ? count : 0, "写入被拒绝");
    }
    std::string mode(int fan) {
        return emu->value("F" + std::to_string(fan) + "Md") == hexBytes("01") ? "forced" : "auto";
    }

    QTemporaryDir dir;
    ManualQueue queue;
    std::vector<std::string> alerts;
    int terminated = 0;
    std::unique_ptr<Emulator> emu;
    std::unique_ptr<PrivateTmp> tmp;
    std::unique_ptr<AppDelegate> app;
};

TEST_P(AppFaultTest, BoostStepsAndRestoreAlertOnlyOnRefusals) {
    const auto minimum = emu->value("F0Mn");
    ASSERT_EQ(emu->control(GetParam().control).rfind("OK", 0), 0u);
    // Two steps up, each writing both fans; fan 0's write meets the fault, fan 1's succeeds.
    app->handleTempBoost(70.0, std::nullopt);
    app->handleTempBoost(200.0, std::nullopt);
    EXPECT_EQ(alerts, refusals(2));
    EXPECT_EQ(mode(1), "forced");
    if (GetParam().refusal) {
        EXPECT_EQ(mode(0), "auto");
    }

    // Back below the start: the recorded states (both automatic) are restored.
    alerts.clear();
    app->handleTempBoost(20.0, std::nullopt);
    EXPECT_EQ(alerts, refusals(1));
    EXPECT_EQ(mode(1), "auto");

    // With the fault gone, a restore from the menu reaches every fan.
    emu->control("fault clear");
    app->restoreAllAuto();
    EXPECT_EQ(mode(0), "auto");
    EXPECT_EQ(mode(1), "auto");
    // No write took the minimum path on this machine with mode keys.
    EXPECT_EQ(emu->value("F0Mn"), minimum);
}

TEST_P(AppFaultTest, QuitNeverAlertsAndAlwaysTerminates) {
    emu->control("set F0Md 01");
    emu->control("set F1Md 01");
    ASSERT_EQ(emu->control(GetParam().control).rfind("OK", 0), 0u);
    app->quitApp();
    EXPECT_EQ(terminated, 1);
    // The reply to Quit's "auto" is not shown, refused or not.
    EXPECT_TRUE(alerts.empty());
    // The daemon's restore stops at fan 0 when fan 0's restore fails: both stay forced.
    // A fault on F0Tg does not touch the restore, which reaches both fans.
    const bool restoreFails = std::string(GetParam().control).find("F0Md") != std::string::npos;
    EXPECT_EQ(mode(0), restoreFails ? "forced" : "auto");
    EXPECT_EQ(mode(1), restoreFails ? "forced" : "auto");
}

INSTANTIATE_TEST_SUITE_P(Faults, AppFaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
