// The tray application's controller on the applesmc driver model, reading as the user it runs
// as: a child process joins the test's mount namespace, drops to nobody and builds the whole
// AppDelegate there, while the control daemon runs as root beside it. The child checks what
// the menu shows and what its writes do; a failed check in it fails the test through its exit
// status (its failure messages appear in the test's output).
//
// The model's clock is frozen, so the readings set through its control channel hold still.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QSettings>
#include <QSlider>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../../orvtool/serve/ServeTexts.h"
#include "Alerts.h"
#include "AppDelegate.h"
#include "ControlProtocol.h"
#include "Deadline.h"
#include "DriverTree.h"
#include "Emulator.h"
#include "ManualQueue.h"
#include "PrivateTmp.h"
#include "Process.h"
#include "Reply.h"
#include "SettingsKeys.h"
#include "Texts.h"

// Reaches the controller's private refresh tick, as the application's own tests do.
class AppDelegateTest {
  public:
    static void refresh(AppDelegate& app) { app.refresh(); }
};

namespace {

using namespace std::chrono_literals;

constexpr const char* kDaemonLog = "/tmp/orvane-daemon.log";
// What the user's process prints, its failures among it.
constexpr const char* kUserLog = "/tmp/user.log";

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Where the mounted driver's files are (set before any user's process starts).
std::string gDirectory;

// A driver attribute as the user reads it, as a whole number (-1 when unreadable).
long attribute(const std::string& file) {
    const std::string text = fileText(gDirectory + "/" + file);
    return text.empty() ? -1 : std::strtol(text.c_str(), nullptr, 10);
}

// The daemon logs a request after replying to it: the log is watched for the line a while.
bool daemonLogged(const std::string& line) {
    return waitUntil([&] { return fileText(kDaemonLog).find(line) != std::string::npos; });
}

// The daemon's log line of a served `set`.
std::string servedSet(int fan, int rpm) {
    return texts::kServeLog + protocol::setRequest(fan, rpm) + texts::kServeLogArrow +
           protocol::formatReply(protocol::Reply::set(fan, rpm));
}

// A speed as the rows show it.
std::string rpmText(int rpm) {
    return std::to_string(rpm) + Texts::rpmSuffix;
}

std::string text(const QLabel* label) {
    return label->text().toStdString();
}

struct Alert {
    std::string title;
    std::string message;
};

// The application's controller as the user sees it, built in a process running as nobody:
// the real status menu and rows (kept out of the tray), the control socket at its fixed path,
// settings in a fresh home, alerts recorded. A daemon that is not there is never started.
class UserApp {
  public:
    UserApp() {
        setAlertPresenter([this](AlertStyle, const std::string& title, const std::string& message) {
            alerts.push_back({title, message});
        });
        AppDelegate::Seams seams;
        const std::string home = ::getenv("HOME");
        seams.launchDaemonPlistPath = home + "/service.plist";
        seams.queue = &queue;
        seams.showStatusItem = false;
        seams.loginItem.home = home;
        seams.loginItem.service = std::shared_ptr<LoginItemService>();
        seams.starter.toolPath = [home] { return home + "/no-orvtool"; };
        seams.starter.kickstart = [] { return false; };
        seams.starter.launcher = [](const std::string&) -> std::optional<int> { return 1; };
        seams.starter.probes = 1;
        seams.starter.pollInterval = 1ms;
        app = std::make_unique<AppDelegate>(seams);
        app->applicationDidFinishLaunching();
        app->refreshTimer->stop();  // only the test's ticks run
    }
    ~UserApp() {
        app.reset();
        setAlertPresenter(printAlertToStderr);
    }

    void refresh() { AppDelegateTest::refresh(*app); }

    ManualQueue queue;
    std::vector<Alert> alerts;
    std::unique_ptr<AppDelegate> app;
};

// The driver model of a profile mounted in a private namespace, its clock frozen, and the
// control daemon serving on it as root.
class DriverAppTest : public ::testing::Test {
  protected:
    void start(const std::string& profile, const std::string& driver) {
        if (::geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
        if (!DriverTree::fuseAvailable()) GTEST_SKIP() << "no /dev/fuse";
        ASSERT_TRUE(ns.ok()) << ns.error();
        tree = std::make_unique<DriverTree>(ns, Emulator::shippedProfile(profile), driver);
        ASSERT_TRUE(tree->ok()) << tree->error();
        gDirectory = tree->directory();
        ASSERT_EQ(tree->control("clock freeze").rfind("OK", 0), 0u);
        // Started for the application's user, as its administrator prompt does, so that
        // user may also make it quit.
        const passwd* nobody = ::getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        ProcessOptions options;
        options.env.emplace_back(paths::kPkexecUidEnv, std::to_string(nobody->pw_uid));
        options.namespaceFd = ns.namespaceFd();
        options.capture = false;
        options.logFile = kDaemonLog;
        daemon = Process::start({ORVTOOL_BINARY, "serve"}, options);
        ASSERT_TRUE(ns.waitForSocket(protocol::kFallbackSocketPath, daemon.pid()))
            << ns.read(kDaemonLog);
    }

    void set(const std::string& key, const std::string& hex) {
        ASSERT_EQ(tree->control("set " + key + " " + hex).rfind("OK", 0), 0u) << key;
    }

    // Runs `body` in a child inside the namespace as nobody, with an application object of
    // its own; fails when the child fails a check, dies or takes too long.
    // Runs `body` in a child inside the namespace as nobody, with an application object of
    // its own; fails when the child fails a check, dies or takes too long. What the child
    // printed (its failures) is shown when it failed.
    void asUser(const std::function<void()>& body) {
        const passwd* nobody = ::getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        const uid_t uid = nobody->pw_uid;
        std::fflush(stdout);
        std::fflush(stderr);
        ProcessOptions options;
        options.uid = uid;
        options.namespaceFd = ns.namespaceFd();
        options.capture = false;
        options.logFile = kUserLog;
        Process user = Process::call(
            [&] {
                char home[] = "/tmp/user-home.XXXXXX";
                if (::mkdtemp(home) == nullptr) return 92;
                ::setenv("HOME", home, 1);
                ::setenv("XDG_CONFIG_HOME", home, 1);
                ::setenv("XDG_RUNTIME_DIR", home, 1);
                {
                    int argc = 1;
                    char name[] = "driver_app_tests";
                    char* argv[] = {name, nullptr};
                    QApplication qt(argc, argv);
                    QApplication::setOrganizationName("Orvane");
                    QApplication::setApplicationName("OrvaneBarDriverTests");
                    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home);
                    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home);
                    EXPECT_EQ(::geteuid(), uid);
                    try {
                        body();
                    } catch (const std::exception& error) {
                        ADD_FAILURE() << "the user's process raised: " << error.what();
                    }
                }
                std::fflush(stdout);
                std::fflush(stderr);
                return ::testing::Test::HasFailure() ? 1 : 0;
            },
            options);
        const std::optional<int> status = user.waitFor(90s);
        if (!status) {
            user.kill();
            FAIL() << "the user's process did not finish";
        }
        ASSERT_EQ(user.termSignal(), 0) << "the user's process died";
        EXPECT_EQ(*status, 0) << "the user's process failed:\n"
                              << ns.read(kUserLog) << "daemon log:\n"
                              << ns.read(kDaemonLog);
    }

    PrivateTmp ns;
    std::unique_ptr<DriverTree> tree;
    Process daemon;
};

// Mainline driver, older two-fan machine (fpe2 speeds, forced through a raised minimum).
TEST_F(DriverAppTest, MainlineRowsShowTheFansAndOneForcedByTheDaemon) {
    start("older-2fan.prof", "mainline");
    set("F0Ac", "2328");  // 2250 rpm
    set("F1Ac", "26c0");  // 2480 rpm
    asUser([] {
        UserApp user;
        AppDelegate& app = *user.app;
        ASSERT_EQ(app.fanRows.size(), 2u);
        // The names keep the records' padding, as the SMC holds them.
        EXPECT_EQ(text(app.fanRows[0]->nameLabel), "Left side  ");
        EXPECT_EQ(text(app.fanRows[1]->nameLabel), "Right side ");
        EXPECT_EQ(text(app.fanRows[0]->rpmLabel), rpmText(2250));
        EXPECT_EQ(text(app.fanRows[1]->rpmLabel), rpmText(2480));
        EXPECT_EQ(app.lastTitle, "2.5k");
        for (FanRowView* row : app.fanRows) {
            EXPECT_FALSE(row->modeButton->isChecked());
            EXPECT_EQ(text(row->targetLabel), Texts::automaticTarget);
        }

        // Another client has the root daemon force fan 1; the next tick shows it manual at
        // its target, fan 0 still automatic.
        const DaemonClient::Exchange set = app.daemon.exchange("set 1 4000");
        ASSERT_TRUE(set.line.has_value());
        EXPECT_EQ(*set.line, protocol::formatReply(protocol::Reply::set(1, 4000)));
        EXPECT_EQ(attribute("fan2_min"), 4000);
        user.refresh();
        EXPECT_TRUE(app.fanRows[1]->modeButton->isChecked());
        EXPECT_EQ(text(app.fanRows[1]->targetLabel), rpmText(4000));
        EXPECT_FALSE(app.fanRows[0]->modeButton->isChecked());
        EXPECT_TRUE(user.alerts.empty());
    });
}

TEST_F(DriverAppTest, MainlineBoostStepWritesThroughTheDaemonAndRestoreUndoesIt) {
    start("older-2fan.prof", "mainline");
    set("TC0D", "4100");  // 65 °C: the first step between 60 and 100 °C
    set("TC0H", "4100");
    set("TG0P", "2a00");  // 42 °C
    asUser([] {
        QSettings settings;
        settings.setValue(SettingsKeys::tempBoostEnabled, true);
        settings.setValue(SettingsKeys::tempBoostStartTemp, 60.0);
        settings.setValue(SettingsKeys::tempBoostThreshold, 100.0);
        UserApp user;  // its first tick reads 65 °C and takes the step
        AppDelegate& app = *user.app;
        EXPECT_EQ(app.tempItem->text().toStdString(),
                  std::string(Texts::tempLineCPUPrefix) + "65" + Texts::tempLineCPUSuffix +
                      Texts::tempLineGPUPrefix + "42" + Texts::tempLineGPUSuffix);
        EXPECT_EQ(app.boost.currentStep, 0);
        // 40 % of each maximum (6000 and 6200 rpm), written by the daemon as raised minimums.
        EXPECT_EQ(attribute("fan1_min"), 2400);
        EXPECT_EQ(attribute("fan2_min"), 2480);
        EXPECT_TRUE(daemonLogged(servedSet(0, 2400))) << fileText(kDaemonLog);
        EXPECT_TRUE(daemonLogged(servedSet(1, 2480))) << fileText(kDaemonLog);
        user.refresh();
        ASSERT_EQ(app.fanRows.size(), 2u);
        EXPECT_TRUE(app.fanRows[0]->modeButton->isChecked());
        EXPECT_EQ(text(app.fanRows[0]->targetLabel), rpmText(2400));
        EXPECT_TRUE(app.fanRows[1]->modeButton->isChecked());
        EXPECT_EQ(text(app.fanRows[1]->targetLabel), rpmText(2480));

        // "恢复全部自动模式" gives both fans their original minimums back.
        app.restoreAllAuto();
        EXPECT_EQ(attribute("fan1_min"), 2000);
        EXPECT_EQ(attribute("fan2_min"), 2000);
        EXPECT_TRUE(user.alerts.empty());
    });
}

// The T2-patched driver on the recent machine, at the ACPI device: the slider forces the fan
// through the daemon (mode key by fan1_manual, float target by fan1_output), and "恢复全部自动模式"
// hands it back.
TEST_F(DriverAppTest, T2SliderForcesThroughTheDaemonAndRestoreHandsBack) {
    start("recent-2fan.prof", "t2");
    asUser([] {
        UserApp user;
        AppDelegate& app = *user.app;
        ASSERT_EQ(app.fanRows.size(), 2u);
        for (FanRowView* row : app.fanRows) {
            EXPECT_NE(text(row->rpmLabel), rpmText(0));
            EXPECT_FALSE(row->modeButton->isChecked());
        }

        // The user drags fan 0's slider; its write goes out once the slider rests.
        app.fanRows[0]->slider->setValue(3000);
        user.queue.advance(FanRowLogic::writeDelay);
        EXPECT_TRUE(daemonLogged(servedSet(0, 3000)));
        EXPECT_EQ(attribute("fan1_manual"), 1);
        EXPECT_EQ(attribute("fan1_output"), 3000);
        user.queue.advance(FanRowLogic::gracePeriod);
        user.refresh();
        EXPECT_TRUE(app.fanRows[0]->modeButton->isChecked());
        EXPECT_EQ(text(app.fanRows[0]->targetLabel), rpmText(3000));
        EXPECT_FALSE(app.fanRows[1]->modeButton->isChecked());

        app.restoreAllAuto();
        EXPECT_EQ(attribute("fan1_manual"), 0);
        user.refresh();
        EXPECT_FALSE(app.fanRows[0]->modeButton->isChecked());
        EXPECT_EQ(text(app.fanRows[0]->targetLabel), Texts::automaticTarget);
        EXPECT_TRUE(user.alerts.empty());
    });
    EXPECT_EQ(hexString(tree->value("F0Md")), "00");
}

// The boost on the patched driver: its step forces both fans through their mode keys at 40 %
// of their maximums, and quitting the daemon hands them back.
TEST_F(DriverAppTest, T2BoostStepForcesThroughTheModeKeysAndTheDaemonsQuitHandsBack) {
    start("recent-2fan.prof", "t2");
    set("TC0P", "4100");  // 65 °C: the first step between 60 and 100 °C
    asUser([] {
        QSettings settings;
        settings.setValue(SettingsKeys::tempBoostEnabled, true);
        settings.setValue(SettingsKeys::tempBoostStartTemp, 60.0);
        settings.setValue(SettingsKeys::tempBoostThreshold, 100.0);
        UserApp user;
        AppDelegate& app = *user.app;
        EXPECT_EQ(app.boost.currentStep, 0);
        // 40 % of 5700 and 6200 rpm.
        EXPECT_EQ(attribute("fan1_manual"), 1);
        EXPECT_EQ(attribute("fan2_manual"), 1);
        EXPECT_EQ(attribute("fan1_output"), 2280);
        EXPECT_EQ(attribute("fan2_output"), 2480);
        user.refresh();
        ASSERT_EQ(app.fanRows.size(), 2u);
        EXPECT_TRUE(app.fanRows[0]->modeButton->isChecked());
        EXPECT_EQ(text(app.fanRows[1]->targetLabel), rpmText(2480));
        const DaemonClient::Exchange quit = app.daemon.exchange("quit");
        ASSERT_TRUE(quit.line.has_value());
        EXPECT_EQ(*quit.line, protocol::kReplyBye);
    });
    // The daemon hands every fan back as it stops.
    for (int i = 0; i < 100 && hexString(tree->value("F1Md")) != "00"; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(hexString(tree->value("F0Md")), "00");
    EXPECT_EQ(hexString(tree->value("F1Md")), "00");
}

}  // namespace

int main(int argc, char** argv) {
    // The application object is made in each user's process, never in this one, which stays
    // single-threaded for fork; the driver is chosen only while no emulator is named.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::unsetenv("SMCEMU_SOCKET");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
