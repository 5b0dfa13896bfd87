// The application's write path: commands built by the row callbacks and menu actions,
// the alerts for each kind of reply, starting the daemon when it is down, and quitting.
// Most cases use a recording stand-in daemon; the last ones drive the real daemon on the
// emulator inside a private /tmp.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QSettings>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <sstream>
#include <thread>

#include "Alerts.h"
#include "AppDelegate.h"
#include "AppPaths.h"
#include "ControlProtocol.h"
#include "DaemonFakes.h"
#include "DaemonLease.h"
#include "Emulator.h"
#include "ManualQueue.h"
#include "MinimumRecord.h"
#include "PrivateTmp.h"
#include "Reply.h"
#include "SettingsKeys.h"
#include "WritePath.h"

using namespace std::chrono_literals;

namespace {

// A daemon that was gone, or one that took the connection and stayed silent.
Alert noReplyAlert(const std::string& command, bool unresponsive = false) {
    return {AlertStyle::warning, "控制服务无响应",
            "命令「" + command +
                (unresponsive ? "」发送失败：控制服务接受了连接，但没有回复。\n"
                                "请在终端执行：sudo pkill -f 'orvtool serve'\n"
                                "然后重新操作，会再次拉起服务。"
                              : "」发送失败，守护进程可能已退出。\n再次操作即可重新拉起服务。")};
}

Alert busyAlert(const std::string& command) {
    return {
        AlertStyle::warning, "控制服务繁忙",
        "命令「" + command + "」未执行：控制服务的连接数已达上限，正忙于其他连接。\n请稍后再试。"};
}

constexpr const char* kBusyReply = "ERR 控制服务繁忙：连接数已达上限，请稍后再试\n";

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

// What a write's exchange comes to depends on the reply's kind alone: the words of a
// refused write count only in an error reply of the hardware layer, not quoted back in an
// unknown-command reply or outside an error.
TEST(WriteOutcome, TheReplysKindDecides) {
    using Outcome = DaemonClient::Exchange::Outcome;
    const auto replied = [](const std::string& line) {
        DaemonClient::Exchange exchange;
        exchange.outcome = Outcome::replied;
        exchange.line = line;
        return exchange;
    };
    const std::string refused =
        protocol::formatReply(protocol::Reply::error("写入被拒(kr=0xe00002c1)——普通用户权限不足"));
    const std::string unsupported = protocol::formatReply(
        protocol::Reply::error("写入被拒(kr=0xe00002cf)——此驱动不支持写入该键"));
    const std::pair<DaemonClient::Exchange, WriteOutcome> cases[] = {
        {replied(protocol::formatReply(protocol::Reply::set(0, 3000))), WriteOutcome::done},
        {replied("OK whatever a newer daemon says"), WriteOutcome::done},
        {replied(protocol::kReplySetUsage), WriteOutcome::done},
        {replied(protocol::formatReply(protocol::Reply::error("SMC 键不存在"))),
         WriteOutcome::done},
        {replied(protocol::kReplyUnknown + refused), WriteOutcome::done},
        {replied("写入被拒"), WriteOutcome::done},
        {replied(""), WriteOutcome::done},
        {replied(refused), WriteOutcome::writeRefused},
        {replied(unsupported), WriteOutcome::writeUnsupported},
        {replied(protocol::kReplyBusy), WriteOutcome::busy},
        {{Outcome::replied, "/s", 0, std::nullopt}, WriteOutcome::noReply},  // not UTF-8
        {{Outcome::noDaemon, "", 0, std::nullopt}, WriteOutcome::noReply},
        {{Outcome::noReplyInTime, "/s", 0, std::nullopt}, WriteOutcome::unresponsive},
        {{Outcome::foreignListener, "/s", 65534, std::nullopt}, WriteOutcome::foreign},
    };
    for (const auto& [exchange, expected] : cases) {
        EXPECT_EQ(writeOutcome(exchange), expected) << exchange.line.value_or("(none)");
        // Only a write that went through shows nothing.
        EXPECT_EQ(writeReport(expected, "set 0 1", {}, {}).has_value(),
                  expected != WriteOutcome::done);
    }
}

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
    DaemonSetup options() const {
        DaemonSetup o;
        o.client.socketPath = dir.filePath("orvane.sock").toStdString();
        o.starter.toolPath = [exe = dir.filePath("app/OrvaneBar").toStdString()] {
            return AppPaths::orvtoolPathFor(exe);
        };
        o.starter.launcher = FakeLauncher::bind(launcher);
        o.starter.kickstart = [] { return false; };
        o.starter.probes = 3;
        o.starter.pollInterval = 1ms;
        o.client.exchangeTimeout = 300ms;
        return o;
    }

    std::unique_ptr<AppDelegate> makeApp(DaemonSetup daemon) {
        AppDelegate::Seams seams;
        seams.controller.recordPath = dir.filePath("fan-minimums").toStdString();
        seams.launchDaemonPlistPath = plistPath();
        seams.queue = &queue;
        seams.showStatusItem = false;
        seams.daemon = std::move(daemon.client);
        seams.starter = std::move(daemon.starter);
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

    app->boost.tempBoostActive = true;
    app->boost.preBoostStates = std::vector<PreBoostState>{{true, 3000}, {false, 1200}};
    app->boost.currentStep = 2;
    app->manualModeChanged(0, true);  // the current speed, fraction dropped
    EXPECT_FALSE(app->boost.tempBoostActive);
    EXPECT_FALSE(app->boost.preBoostStates);
    EXPECT_EQ(app->boost.currentStep, -1);

    app->manualModeChanged(1, true);  // the target
    emu.control("fault F1Tg read e00002c7");
    emu.control("fault F1Ac read e00002c7");
    app->manualModeChanged(1, true);  // neither readable: 3000
    app->manualModeChanged(0, false);
    app->sliderChanged(1, 9000);  // as received; the daemon clamps

    app->boost.tempBoostActive = true;
    app->boost.currentStep = 1;
    app->restoreAllAuto();  // leaves the boost alone
    EXPECT_TRUE(app->boost.tempBoostActive);
    EXPECT_EQ(app->boost.currentStep, 1);

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
        if (line == "set 0 7") return {{"ERR 写入被拒(kr=0xe00002cf)——此驱动不支持写入该键\n"}};
        if (line == "set 0 8") return {{kBusyReply}};
        return {{"OK set fan=0 rpm=2000\n"}};
    });
    auto app = makeApp(options());
    for (int rpm = 1; rpm <= 9; ++rpm)
        app->sliderChanged(0, rpm);
    // A key the driver cannot write is not blamed on privilege.
    const Alert unsupported = {
        AlertStyle::warning, "写入被拒绝",
        "本机的 SMC 驱动不支持写入该键（如风扇模式键，或非 fpe2 "
        "类型的转速键）。\n以 root 运行也无法改变，本机无法这样控制该风扇。"};
    EXPECT_EQ(alerts, (std::vector<Alert>{kWriteRejected, noReplyAlert("set 0 4"),
                                          noReplyAlert("set 0 5", true), unsupported,
                                          busyAlert("set 0 8")}));
    EXPECT_TRUE(launcher->scripts().empty());
}

// A daemon that stays silent, or one that refuses the connection for its limits, is there:
// it is reported, and neither replaced nor asked for with a password prompt, also by Quit,
// which tries a busy daemon again until its limit.
TEST_F(WritePathTest, SilentOrBusyDaemonIsReportedNotReplaced) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    createTool();
    {
        FakeDaemon daemon(socketPath(), [](const std::string&) {
            return FakeDaemon::Reply{{}, true};
        });
        auto app = makeApp(options());
        app->restoreAllAuto();  // returns: the probe is bounded
        EXPECT_EQ(alerts, std::vector<Alert>{noReplyAlert("auto", true)});
    }
    alerts.clear();
    FakeDaemon daemon(socketPath(),
                      [](const std::string&) { return FakeDaemon::Reply{{kBusyReply}}; });
    auto app = makeApp(options());
    app->restoreAllAuto();
    app->sliderChanged(1, 3000);
    EXPECT_EQ(alerts, (std::vector<Alert>{busyAlert("auto"), busyAlert("set 1 3000")}));
    alerts.clear();
    emu.control("set F0Md 01");
    quitWaitLimit = 1500ms;
    auto quitting = makeApp(options());
    quitting->quitApp();
    EXPECT_EQ(terminated, 1);
    EXPECT_GE(daemon.commands().size(), 2u);  // tried again
    EXPECT_EQ(alerts, std::vector<Alert>{quitFailedAlert(
                          "控制服务繁忙（连接数已达上限），一直没有空出连接。", toolPath())});
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
    DaemonSetup o = options();
    o.client.socketPath = open + "/orvane.sock";
    auto app = makeApp(o);
    {
        ForeignListener listener(o.client.socketPath);
        ASSERT_TRUE(listener.ok());
        app->sliderChanged(0, 5700);
        app->restoreAllAuto();
        EXPECT_EQ(alerts, (std::vector<Alert>{foreignAlert(o.client.socketPath, "set 0 5700"),
                                              foreignAlert(o.client.socketPath, "auto")}));
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
    DaemonSetup o = options();
    std::atomic<int> kicks = 0;
    o.starter.kickstart = [&] {
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

// Without mode keys a fan is forced when its minimum differs from the original one. With
// the boot's record the originals are sure: nothing forced sends nothing, a raised minimum
// is handed back. Without it a fan forced before the start would look automatic, so Quit
// asks a running daemon, and starts none when the daemon is down.
TEST_F(WritePathTest, QuitOnAMachineWithoutModeKeysFollowsTheMinimums) {
    Emulator emu(Emulator::shippedProfile("older-2fan.prof"));
    emu.control("set F0Mn 2ee0");  // forced at 3000 before the start
    ASSERT_EQ(writeMinimumRecord(dir.filePath("fan-minimums").toStdString(),
                                 {{hexBytes("1f40"), hexBytes("1f40")}}),
              0);
    {
        FakeDaemon daemon(socketPath(), FakeDaemon::daemonLike);
        auto app = makeApp(options());
        EXPECT_TRUE(app->anyFanForced());
        emu.control("set F0Mn 1f40");
        EXPECT_FALSE(app->anyFanForced());
        app->quitApp();
        EXPECT_EQ(terminated, 1);
        EXPECT_TRUE(daemon.lines().empty());
        emu.control("set F1Mn 2ee0");
        app->quitApp();
        EXPECT_EQ(daemon.lines(), (std::vector<std::string>{"ping", "auto"}));
    }

    QFile::remove(dir.filePath("fan-minimums"));
    auto app = makeApp(options());
    EXPECT_FALSE(app->anyFanForced());  // the raised minimum is all it knows
    app->quitApp();
    EXPECT_EQ(terminated, 3);
    EXPECT_TRUE(launcher->scripts().empty());

    FakeDaemon daemon(socketPath(), FakeDaemon::daemonLike);
    app->quitApp();
    EXPECT_EQ(terminated, 4);
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
    // The application's own limit; the tests pass shorter ones.
    EXPECT_EQ(AppDelegate::Seams{}.quitWaitLimit, std::chrono::seconds(120));
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

    DaemonSetup realOptions() const {
        DaemonSetup o = options();
        o.client.socketPath = tmp->path("/run/orvane/orvane.sock");
        o.client.fallbackSocketPath = tmp->path("/tmp/orvane.sock");
        o.starter.toolPath = [] { return std::string(ORVTOOL_BINARY); };
        o.client.exchangeTimeout = 3s;
        o.starter.pollInterval = 50ms;
        o.starter.probes = 100;
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

// The daemon run by another user is not the control service: it is told nothing. The
// user's own daemon without root is theirs: it is asked, and its refusal to write says
// how to get the root one.
TEST_F(RealDaemonTest, DaemonWithoutRootIsNotTrustedUnlessItIsTheUsersOwn) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    startDaemon(65534);
    auto app = makeApp(realOptions());
    app->sliderChanged(0, 3000);
    EXPECT_EQ(alerts,
              std::vector<Alert>{foreignAlert(tmp->path("/tmp/orvane.sock"), "set 0 3000")});
    EXPECT_EQ(emu.value("F0Md"), hexBytes("00"));
    EXPECT_EQ(tmp->read("/tmp/orvane-daemon.log").find("set 0 3000"), std::string::npos);

    alerts.clear();
    DaemonSetup own = realOptions();
    own.client.user = 65534;
    auto ownApp = makeApp(own);
    ownApp->sliderChanged(0, 3000);
    EXPECT_EQ(alerts, std::vector<Alert>{kWriteRejected});
    EXPECT_EQ(emu.value("F0Md"), hexBytes("00"));
    EXPECT_TRUE(launcher->scripts().empty());
}

TEST_F(RealDaemonTest, LauncherStartsTheDaemonForAWriteAndForQuit) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    // The root shell of the administrator prompt, inside the private /tmp.
    DaemonSetup o = realOptions();
    PrivateTmp* inside = tmp.get();
    o.starter.launcher = [inside](const std::string& script) -> std::optional<int> {
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

// The application only reads the boot's record, and says so when it cannot use it.
TEST_F(RealDaemonTest, AppWarnsOfAnUnusableRecord) {
    Emulator emu(Emulator::shippedProfile("older-2fan.prof"));
    ASSERT_EQ(::mkdir(tmp->path("/run/orvane").c_str(), 0755), 0);
    std::ofstream(tmp->path("/run/orvane/fan-minimums")) << "not a record\n";
    EXPECT_EQ(tmp->run({ORVANEBAR_BINARY, "--screenshot", "/tmp"}, "/tmp/app.log"), 0);
    EXPECT_NE(tmp->read("/tmp/app.log")
                  .find("OrvaneBar: 原始最小转速记录无效，已忽略（格式不符）: "
                        "/run/orvane/fan-minimums\n"),
              std::string::npos)
        << tmp->read("/tmp/app.log");
    EXPECT_EQ(tmp->read("/run/orvane/fan-minimums"), "not a record\n");
}

// The same on both machine families: with mode keys (forced by the mode bit and target)
// and without (forced by a raised minimum, known as such from the daemon's record).
class RealDaemonFamilyTest : public RealDaemonTest,
                             public ::testing::WithParamInterface<const char*> {
  protected:
    bool modeKeys() const { return std::string(GetParam()) == "recent-2fan.prof"; }

    // The application as launched, reading the record the daemon keeps; ticks come from
    // the test.
    std::unique_ptr<AppDelegate> launchApp() {
        auto app = makeApp(realOptions());
        app->applicationDidFinishLaunching();
        app->refreshTimer->stop();
        return app;
    }
    std::unique_ptr<AppDelegate> makeApp(DaemonSetup daemon) {
        AppDelegate::Seams seams;
        seams.controller.recordPath = tmp->path("/run/orvane/fan-minimums");
        seams.launchDaemonPlistPath = plistPath();
        seams.queue = &queue;
        seams.showStatusItem = false;
        seams.daemon = std::move(daemon.client);
        seams.starter = std::move(daemon.starter);
        seams.terminate = [this] { ++terminated; };
        seams.loginItem.home = dir.path().toStdString();
        seams.loginItem.service = std::shared_ptr<LoginItemService>();
        return std::make_unique<AppDelegate>(seams);
    }
    void afterGracePeriod(AppDelegate& app) {
        queue.advance(FanRowLogic::gracePeriod);
        app.refreshTimer->start(0);  // one tick through the timer, as the application gets it
        QTest::qWait(50);
        app.refreshTimer->stop();
    }
    double rpm(int fan) {
        const std::string reply = emu->control("status");
        const std::string field = " fan" + std::to_string(fan) + "=";
        const auto at = reply.find(field);
        return at == std::string::npos ? -1 : std::atof(reply.c_str() + at + field.size());
    }
    // The keys that force the two fans: the mode bytes (and fan 0's target when it is
    // forced), or the minimums.
    std::string fanKeys() {
        if (!modeKeys()) return hexString(emu->value("F0Mn")) + " " + hexString(emu->value("F1Mn"));
        const std::string md0 = hexString(emu->value("F0Md"));
        return md0 + (md0 == "01" ? hexString(emu->value("F0Tg")) : "") + " " +
               hexString(emu->value("F1Md"));
    }
    // Fan 0 forced at 3000, fan 1 automatic; both automatic.
    std::string forcedAt3000() const { return modeKeys() ? "0100803b45 00" : "2ee0 1f40"; }
    std::string automatic() const { return modeKeys() ? "00 00" : "1f40 1f40"; }

    std::unique_ptr<Emulator> emu;
};

// Ticking "手动" under load pins the fan at the speed automatic control has brought it to.
TEST_P(RealDaemonFamilyTest, ManualUnderLoadHoldsTheSpeed) {
    emu = std::make_unique<Emulator>(Emulator::shippedProfile(GetParam()));
    emu->control("clock freeze");
    emu->control("load 1.0");
    emu->control("clock step 120");
    startDaemon();
    auto app = launchApp();
    const double loaded = rpm(0);
    ASSERT_GT(loaded, 4000);

    FanRowView* row = app->fanRows[0];
    row->modeButton->click();
    EXPECT_TRUE(alerts.empty());
    emu->control("clock step 120");
    EXPECT_NEAR(rpm(0), loaded, 0.1 * loaded);
    emu->control("load 0.1");
    emu->control("clock step 120");
    EXPECT_NEAR(rpm(0), loaded, 0.1 * loaded);
    EXPECT_LT(rpm(1), 0.6 * loaded);  // the other fan, still automatic, slows down

    afterGracePeriod(*app);
    EXPECT_TRUE(row->modeButton->isChecked());
    EXPECT_TRUE(row->slider->isEnabled());
    EXPECT_NEAR(row->slider->value(), loaded, 0.1 * loaded);
    EXPECT_FALSE(app->fanRows[1]->modeButton->isChecked());
}

// A fan the user forced to 3000 shows as forced after the grace period, in this process and
// in one started later; the boost gives it back its 3000 when it ends, and Quit hands every
// fan back.
TEST_P(RealDaemonFamilyTest, ForcedFanIsShownAndRestored) {
    emu = std::make_unique<Emulator>(Emulator::shippedProfile(GetParam()));
    startDaemon();
    auto app = launchApp();
    FanRowView* row = app->fanRows[0];
    row->modeButton->click();     // ticked: pinned at its speed
    row->slider->setValue(3000);  // then moved to 3000
    queue.advance(FanRowLogic::writeDelay);
    EXPECT_EQ(fanKeys(), forcedAt3000());
    EXPECT_TRUE(alerts.empty());

    auto restarted = launchApp();
    for (AppDelegate* shown : {app.get(), restarted.get()}) {
        afterGracePeriod(*shown);
        FanRowView* r = shown->fanRows[0];
        EXPECT_TRUE(r->modeButton->isChecked());
        EXPECT_TRUE(r->slider->isEnabled());
        EXPECT_EQ(r->slider->value(), 3000);
        EXPECT_EQ(r->targetLabel->text(), "3000 RPM");
        EXPECT_FALSE(shown->fanRows[1]->modeButton->isChecked());
        EXPECT_EQ(shown->fanRows[1]->targetLabel->text(), "自动");
        EXPECT_TRUE(shown->anyFanForced());
    }

    QSettings().setValue(SettingsKeys::tempBoostEnabled, true);
    app->handleTempBoost(80, std::nullopt);  // full speed
    ASSERT_TRUE(app->boost.preBoostStates);
    EXPECT_TRUE((*app->boost.preBoostStates)[0].forced);
    EXPECT_EQ((*app->boost.preBoostStates)[0].targetRPM, 3000);
    EXPECT_FALSE((*app->boost.preBoostStates)[1].forced);
    EXPECT_NE(fanKeys(), forcedAt3000());
    app->handleTempBoost(50, std::nullopt);
    EXPECT_EQ(fanKeys(), forcedAt3000());  // "set 0 3000", not "auto 0"

    // The application held its lease meanwhile; Quit ends it after handing the fans back.
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->lease->held(); }, 5000));
    app->quitApp();
    EXPECT_EQ(terminated, 1);
    EXPECT_FALSE(app->lease->held());
    EXPECT_EQ(fanKeys(), automatic());
    EXPECT_FALSE(app->anyFanForced());
    EXPECT_TRUE(alerts.empty());
}

INSTANTIATE_TEST_SUITE_P(Families, RealDaemonFamilyTest,
                         ::testing::Values("recent-2fan.prof", "older-2fan.prof"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param).substr(0, 6) == "recent"
                                        ? std::string("ModeKeys")
                                        : std::string("NoModeKeys");
                         });
