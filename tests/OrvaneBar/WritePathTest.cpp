// The application's write path: commands built by the row callbacks and menu actions,
// the alerts for each kind of reply, starting the daemon when it is down, and quitting.
// Most cases use a recording stand-in daemon; the last ones drive the real daemon on the
// emulator inside a private /tmp.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <sstream>
#include <thread>

#include "Alerts.h"
#include "AppDelegate.h"
#include "AppPaths.h"
#include "DaemonFakes.h"
#include "Emulator.h"
#include "ManualQueue.h"
#include "PrivateTmp.h"

using namespace std::chrono_literals;

namespace {

Alert noReplyAlert(const std::string& command) {
    return {AlertStyle::warning, "控制服务无响应",
            "命令「" + command + "」发送失败，守护进程可能已退出。\n请重启本应用以重新拉起服务。"};
}

const Alert kWriteRejected = {AlertStyle::warning, "写入被拒绝",
                              "控制服务不是以 root 运行的（权限不足）。\n"
                              "请在终端执行：sudo pkill -f 'orvtool serve'\n"
                              "然后重新操作，会再次弹出管理员授权。"};

Alert startFailedAlert(const std::string& tool) {
    return {AlertStyle::warning, "控制服务启动失败",
            "无法以管理员身份启动 orvtool serve。\n可手动运行：sudo '" + tool +
                "' serve\n日志：/var/log/orvane/daemon.log"};
}

// Without a tool root may run, the alert says why instead of how to run it.
Alert startFailedAlert(const std::string& tool, const std::string& reason) {
    return {AlertStyle::warning, "控制服务启动失败",
            "无法以管理员身份启动 orvtool serve。\n不会以 root 运行 '" + tool + "'：" + reason +
                "\n日志：/var/log/orvane/daemon.log"};
}

Alert quitFailedAlert(const std::string& cause, const std::string& tool) {
    return {AlertStyle::warning, "风扇未能恢复自动模式",
            cause + "\n请在终端执行：sudo '" + tool + "' auto"};
}

Alert foreignAlert(const std::string& socket, const std::string& command) {
    return {AlertStyle::warning, "控制服务被冒用",
            socket + "被另一个用户（uid 65534）占用，不是以 root 运行的控制服务。\n命令「" +
                command + "」未发送。"};
}

}  // namespace

class WritePathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        setAlertPresenter(
            [this](AlertStyle style, const std::string& title, const std::string& message) {
                alerts.push_back({style, title, message});
            });
    }
    void TearDown() override { setAlertPresenter(printAlertToStderr); }

    // Options for the stand-in daemon at a private path, with the tool beside an
    // executable in the test's folder (missing unless a test creates it).
    DaemonClient::Options options() const {
        DaemonClient::Options o;
        o.socketPath = dir.filePath("orvane.sock").toStdString();
        o.toolPath = [exe = dir.filePath("app/OrvaneBar").toStdString()] {
            return AppPaths::orvtoolPathFor(exe);
        };
        o.launcher = FakeLauncher::bind(launcher);
        o.kickstart = [] { return false; };
        o.probes = 3;
        o.pollInterval = 1ms;
        o.exchangeTimeout = 300ms;
        return o;
    }

    std::unique_ptr<AppDelegate> makeApp(DaemonClient::Options daemon) {
        AppDelegate::Seams seams;
        seams.launchDaemonPlistPath = plistPath();
        seams.queue = &queue;
        seams.showStatusItem = false;
        seams.daemon = std::move(daemon);
        seams.terminate = [this] { ++terminated; };
        seams.quitWaitLimit = quitWaitLimit;
        seams.loginItem.home = dir.path().toStdString();
        seams.loginItem.service = std::shared_ptr<LoginItemService>();
        return std::make_unique<AppDelegate>(seams);
    }

    std::string plistPath() const { return dir.filePath("service.plist").toStdString(); }
    std::string socketPath() const { return dir.filePath("orvane.sock").toStdString(); }
    std::string toolPath() const { return dir.filePath("app/orvtool").toStdString(); }
    void createTool() const {
        QDir().mkpath(dir.filePath("app"));
        std::ofstream(toolPath()) << "#!/bin/sh\n";
    }
    bool waitForAlerts(std::size_t count) {
        return QTest::qWaitFor([&] { return alerts.size() >= count; }, 10000);
    }

    QTemporaryDir dir;
    ManualQueue queue;
    std::vector<Alert> alerts;
    int terminated = 0;
    std::chrono::milliseconds quitWaitLimit = 10s;
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
};

TEST_F(WritePathTest, RowActionsAndRestoreSendTheirCommands) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    emu.control("clock freeze");
    emu.control("set F0Ac 336b0645");         // 2150.7
    emu.control("fault F0Tg read e00002c7");  // no target reading
    emu.control("set F1Tg 00805945");         // 3480
    FakeDaemon daemon(socketPath(), FakeDaemon::daemonLike);
    auto app = makeApp(options());

    app->tempBoostActive = true;
    app->preBoostStates = std::vector<PreBoostState>{{true, 3000}, {false, 1200}};
    app->currentStep = 2;
    app->manualModeChanged(0, true);  // the current speed, fraction dropped
    EXPECT_FALSE(app->tempBoostActive);
    EXPECT_FALSE(app->preBoostStates);
    EXPECT_EQ(app->currentStep, -1);

    app->manualModeChanged(1, true);  // the target
    emu.control("fault F1Tg read e00002c7");
    emu.control("fault F1Ac read e00002c7");
    app->manualModeChanged(1, true);  // neither readable: 3000
    app->manualModeChanged(0, false);
    app->sliderChanged(1, 9000);  // as received; the daemon clamps

    app->tempBoostActive = true;
    app->currentStep = 1;
    app->restoreAllAuto();  // leaves the boost alone
    EXPECT_TRUE(app->tempBoostActive);
    EXPECT_EQ(app->currentStep, 1);

    // Each write is a probe, then the command on its own connection.
    EXPECT_EQ(daemon.lines(), (std::vector<std::string>{"ping", "set 0 2150", "ping", "set 1 3480",
                                                        "ping", "set 1 3000", "ping", "auto 0",
                                                        "ping", "set 1 9000", "ping", "auto"}));
    EXPECT_TRUE(alerts.empty());
}

TEST_F(WritePathTest, RepliesDecideTheAlerts) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    FakeDaemon daemon(socketPath(), [](const std::string& line) -> FakeDaemon::Reply {
        if (line == "ping") return {{"OK pong fans=2\n"}};
        if (line == "set 0 1")
            return {{"ERR 写入被拒(kr=0xe00002c1)——普通用户权限不足，需 root/特权 helper\n"}};
        if (line == "set 0 2") return {{"ERR 用法: set <fan> <rpm>\n"}};
        if (line == "set 0 3") return {{}};              // closed without a byte
        if (line == "set 0 4") return {{"\xff\xfe\n"}};  // not UTF-8
        if (line == "set 0 5") return {{}, true};        // no reply in time
        if (line == "set 0 6") return {{"写入被拒 but not ERR\n"}};
        return {{"OK set fan=0 rpm=2000\n"}};
    });
    auto app = makeApp(options());
    for (int rpm = 1; rpm <= 7; ++rpm)
        app->sliderChanged(0, rpm);
    EXPECT_EQ(alerts, (std::vector<Alert>{kWriteRejected, noReplyAlert("set 0 4"),
                                          noReplyAlert("set 0 5")}));
    EXPECT_TRUE(launcher->scripts().empty());
}

TEST_F(WritePathTest, SilentDaemonIsReportedNotReplaced) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    createTool();
    FakeDaemon daemon(socketPath(), [](const std::string&) { return FakeDaemon::Reply{{}, true}; });
    auto app = makeApp(options());
    app->restoreAllAuto();  // returns: the probe is bounded
    EXPECT_EQ(alerts, std::vector<Alert>{noReplyAlert("auto")});
    EXPECT_TRUE(launcher->scripts().empty());
}

// A listener of another user at the socket is told nothing and no daemon is started over
// it; a tool another user could have planted is not run as root.
TEST_F(WritePathTest, ForeignListenerAndUntrustedToolAreReportedNotUsed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    createTool();
    const std::string open = dir.filePath("open").toStdString();
    ASSERT_EQ(::chmod(dir.path().toUtf8().constData(), 0755), 0);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(open)));
    ASSERT_EQ(::chown(open.c_str(), ForeignListener::kUid, ForeignListener::kUid), 0);
    DaemonClient::Options o = options();
    o.socketPath = open + "/orvane.sock";
    auto app = makeApp(o);
    {
        ForeignListener listener(o.socketPath);
        ASSERT_TRUE(listener.ok());
        app->sliderChanged(0, 5700);
        app->restoreAllAuto();
        EXPECT_EQ(alerts, (std::vector<Alert>{foreignAlert(o.socketPath, "set 0 5700"),
                                              foreignAlert(o.socketPath, "auto")}));
        std::this_thread::sleep_for(400ms);  // past the listener's wait for a request
        EXPECT_EQ(listener.received(), "");
    }

    alerts.clear();
    ASSERT_EQ(::chown(toolPath().c_str(), ForeignListener::kUid, ForeignListener::kUid), 0);
    app->sliderChanged(0, 5700);
    ASSERT_TRUE(waitForAlerts(1));
    const Alert untrusted = {AlertStyle::warning, "orvtool 不可信",
                             "不会以 root 运行 '" + toolPath() + "'：「" + toolPath() +
                                 "」属于另一个用户（uid 65534）\n"
                                 "请把 orvtool 放在只有 root 或当前用户能修改的目录中。"};
    EXPECT_EQ(alerts, std::vector<Alert>{untrusted});
    EXPECT_TRUE(launcher->scripts().empty());
}

TEST_F(WritePathTest, DownWithoutToolFailsWithoutPrompt) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    auto app = makeApp(options());
    app->sliderChanged(0, 3000);
    EXPECT_TRUE(alerts.empty());  // the start runs in the background
    ASSERT_TRUE(waitForAlerts(1));
    // Names candidate A, beside the executable, and why it is not run.
    EXPECT_EQ(alerts,
              std::vector<Alert>{startFailedAlert(toolPath(), "「" + toolPath() + "」不存在")});
    EXPECT_TRUE(launcher->scripts().empty());
}

TEST_F(WritePathTest, CancelledPromptFailsAfterPollingAndEachWriteTriesAgain) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    createTool();
    auto app = makeApp(options());
    app->sliderChanged(0, 3000);
    app->manualModeChanged(1, false);
    ASSERT_TRUE(waitForAlerts(2));
    EXPECT_EQ(alerts,
              (std::vector<Alert>{startFailedAlert(toolPath()), startFailedAlert(toolPath())}));
    const std::string script = "(setsid '" + toolPath() + "' serve </dev/null >/dev/null 2>&1 &)";
    EXPECT_EQ(launcher->scripts(), (std::vector<std::string>{script, script}));
}

TEST_F(WritePathTest, StartedDaemonGetsTheCommand) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    createTool();
    std::unique_ptr<FakeDaemon> daemon;
    // Through the installed service when its property list exists, without a prompt.
    std::ofstream(plistPath()) << "<plist/>";
    DaemonClient::Options o = options();
    std::atomic<int> kicks = 0;
    o.kickstart = [&] {
        if (kicks == 0) daemon = std::make_unique<FakeDaemon>(socketPath(), FakeDaemon::daemonLike);
        ++kicks;
        return true;
    };
    auto app = makeApp(o);
    app->sliderChanged(1, 4000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return kicks > 0 && !daemon->commands().empty(); }, 10000));
    EXPECT_EQ(daemon->commands(), std::vector<std::string>{"set 1 4000"});
    EXPECT_TRUE(alerts.empty());

    // A kick-start that brings nothing up: the start failure, still without a prompt.
    daemon.reset();
    app->sliderChanged(1, 4100);
    ASSERT_TRUE(waitForAlerts(1));
    EXPECT_EQ(alerts, std::vector<Alert>{startFailedAlert(toolPath())});
    EXPECT_TRUE(launcher->scripts().empty());
}

TEST_F(WritePathTest, QuitRestoresForcedFansFirst) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    FakeDaemon daemon(socketPath(), FakeDaemon::daemonLike);
    auto app = makeApp(options());

    // Nothing forced: no connection at all.
    app->quitApp();
    EXPECT_EQ(terminated, 1);
    EXPECT_TRUE(daemon.lines().empty());

    emu.control("set F1Md 01");
    EXPECT_TRUE(app->anyFanForced());
    app->quitApp();
    EXPECT_EQ(terminated, 2);
    EXPECT_EQ(daemon.lines(), (std::vector<std::string>{"ping", "auto"}));
    EXPECT_TRUE(alerts.empty());
}

// A machine without mode keys cannot show a fan forced through its minimum: Quit hands the
// fans back through a running daemon, and starts none when the daemon is down.
TEST_F(WritePathTest, QuitOnAMachineWithoutModeKeysAsksARunningDaemon) {
    Emulator emu(Emulator::shippedProfile("older-2fan.prof"));
    auto app = makeApp(options());
    app->quitApp();
    EXPECT_EQ(terminated, 1);
    EXPECT_TRUE(launcher->scripts().empty());

    FakeDaemon daemon(socketPath(), FakeDaemon::daemonLike);
    app->quitApp();
    EXPECT_EQ(terminated, 2);
    EXPECT_EQ(daemon.lines(), (std::vector<std::string>{"ping", "auto"}));
    EXPECT_TRUE(alerts.empty());
}

TEST_F(WritePathTest, QuitStartsAStoppedDaemonToRestore) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    emu.control("set F0Md 01");
    createTool();
    std::unique_ptr<FakeDaemon> daemon;
    launcher->action = [&] {
        daemon = std::make_unique<FakeDaemon>(socketPath(), FakeDaemon::daemonLike);
    };
    auto app = makeApp(options());
    app->quitApp();  // returns once the background work is done
    EXPECT_EQ(terminated, 1);
    ASSERT_TRUE(daemon);
    EXPECT_EQ(daemon->lines().back(), "auto");
    EXPECT_EQ(launcher->scripts().size(), 1u);
    EXPECT_TRUE(alerts.empty());

    // The start fails: quit says so, and goes on.
    daemon.reset();
    launcher->action = nullptr;
    app->quitApp();
    EXPECT_EQ(terminated, 2);
    EXPECT_EQ(alerts, std::vector<Alert>{quitFailedAlert("控制服务未能启动。", toolPath())});
    EXPECT_EQ(launcher->scripts().size(), 2u);
}

// Quit keeps sending "auto" within its limit until a reply comes: replies that say
// nothing are tried again half a second later, a slow reply is waited for (longer than a
// row's write would wait), an "ERR" reply ends the attempts, and anything but "OK" is
// reported before the application ends.
TEST_F(WritePathTest, QuitUsesItsWholeLimitToRestore) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    emu.control("set F0Md 01");
    createTool();
    quitWaitLimit = 5s;
    std::atomic<int> autos = 0;
    std::string autoReply = "OK auto all\n";
    FakeDaemon daemon(socketPath(), [&](const std::string& line) -> FakeDaemon::Reply {
        if (line == "ping") return {{}, true};  // busy: the start-up probe gets no answer
        if (++autos < 3) return {{}};           // closed without a reply
        std::this_thread::sleep_for(1s);        // longer than a row's write waits
        return {{autoReply}};
    });
    auto app = makeApp(options());
    app->quitApp();
    EXPECT_EQ(terminated, 1);
    EXPECT_EQ(daemon.lines(), (std::vector<std::string>{"ping", "auto", "auto", "auto"}));
    EXPECT_TRUE(alerts.empty());
    EXPECT_TRUE(launcher->scripts().empty());  // a daemon that is there is not replaced

    autoReply = "ERR 写入失败\n";
    autos = 2;
    app->quitApp();
    EXPECT_EQ(terminated, 2);
    EXPECT_EQ(daemon.commands().size(), 4u);  // no second try after an "ERR"
    EXPECT_EQ(alerts,
              std::vector<Alert>{quitFailedAlert("控制服务回复：ERR 写入失败", toolPath())});
}

TEST_F(WritePathTest, QuitWaitsNoLongerThanItsLimit) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    emu.control("set F0Md 01");
    createTool();
    // A prompt nobody answers until the test says so.
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
    };
    auto gate = std::make_shared<Gate>();
    launcher->action = [gate] {
        std::unique_lock<std::mutex> lock(gate->mutex);
        gate->opened.wait(lock, [&] { return gate->open; });
    };
    quitWaitLimit = 50ms;
    auto app = makeApp(options());
    app->quitApp();
    EXPECT_EQ(terminated, 1);
    EXPECT_EQ(launcher->scripts().size(), 1u);
    EXPECT_EQ(alerts, std::vector<Alert>{quitFailedAlert("控制服务没有应答。", toolPath())});
    {
        const std::lock_guard<std::mutex> lock(gate->mutex);
        gate->open = true;
    }
    gate->opened.notify_all();
}

// The real daemon, in a private /tmp, on the emulator.
class RealDaemonTest : public WritePathTest {
  protected:
    void SetUp() override {
        WritePathTest::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp needs root";
        if (::access(ORVTOOL_BINARY, X_OK) != 0) GTEST_SKIP() << "no " << ORVTOOL_BINARY;
        tmp = std::make_unique<PrivateTmp>();
        ASSERT_TRUE(tmp->ok()) << tmp->error();
    }

    DaemonClient::Options realOptions() const {
        DaemonClient::Options o = options();
        o.socketPath = tmp->path("/tmp/orvane.sock");
        o.toolPath = [] { return std::string(ORVTOOL_BINARY); };
        o.exchangeTimeout = 3s;
        o.pollInterval = 50ms;
        o.probes = 100;
        return o;
    }

    // Starts `orvtool serve` inside, as root or as another user.
    void startDaemon(uid_t uid = 0) {
        const pid_t pid = tmp->start({ORVTOOL_BINARY, "serve"}, "/tmp/orvane-daemon.log", uid);
        ASSERT_TRUE(tmp->waitForSocket("/tmp/orvane.sock", pid))
            << readFile(tmp->path("/tmp/orvane-daemon.log"));
    }

    std::unique_ptr<PrivateTmp> tmp;
};

TEST_F(RealDaemonTest, WritesReachTheEmulator) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    startDaemon();
    auto app = makeApp(realOptions());

    app->sliderChanged(1, 9000);  // clamped to fan 1's maximum, 6200
    EXPECT_EQ(emu.value("F1Md"), hexBytes("01"));
    EXPECT_EQ(emu.value("F1Tg"), hexBytes("00c0c145"));
    app->sliderChanged(0, 100);  // clamped to fan 0's minimum, 1200
    EXPECT_EQ(emu.value("F0Md"), hexBytes("01"));
    EXPECT_EQ(emu.value("F0Tg"), hexBytes("00009644"));

    app->manualModeChanged(1, false);
    EXPECT_EQ(emu.value("F1Md"), hexBytes("00"));
    EXPECT_EQ(emu.value("F0Md"), hexBytes("01"));
    app->restoreAllAuto();
    EXPECT_EQ(emu.value("F0Md"), hexBytes("00"));
    EXPECT_TRUE(alerts.empty());
}

// The daemon run by another user is not the control service: it is told nothing.
TEST_F(RealDaemonTest, DaemonWithoutRootIsNotTrusted) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    startDaemon(65534);
    auto app = makeApp(realOptions());
    app->sliderChanged(0, 3000);
    EXPECT_EQ(alerts,
              std::vector<Alert>{foreignAlert(tmp->path("/tmp/orvane.sock"), "set 0 3000")});
    EXPECT_EQ(emu.value("F0Md"), hexBytes("00"));
    EXPECT_EQ(tmp->read("/tmp/orvane-daemon.log").find("set 0 3000"), std::string::npos);
}

TEST_F(RealDaemonTest, LauncherStartsTheDaemonForAWriteAndForQuit) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    // The root shell of the administrator prompt, inside the private /tmp.
    DaemonClient::Options o = realOptions();
    PrivateTmp* inside = tmp.get();
    o.launcher = [inside](const std::string& script) -> std::optional<int> {
        return inside->run({"/bin/sh", "-c", script});
    };
    auto app = makeApp(o);

    app->sliderChanged(0, 3000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return emu.value("F0Md") == hexBytes("01"); }, 10000));
    EXPECT_EQ(emu.value("F0Tg"), hexBytes("00803b45"));

    // Stop it; quitting with fan 0 forced starts it again and restores the fan before
    // quitApp returns.
    EXPECT_EQ(app->daemon.send("quit"), "OK bye");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !app->daemon.isAlive(); }, 10000));
    emu.control("set F0Md 01");
    app->quitApp();
    EXPECT_EQ(terminated, 1);
    EXPECT_EQ(emu.value("F0Md"), hexBytes("00"));
    EXPECT_TRUE(alerts.empty());
}
