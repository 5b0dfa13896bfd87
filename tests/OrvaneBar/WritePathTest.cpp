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
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <sstream>
#include <thread>

#include "AppFixture.h"
#include "ControlProtocol.h"
#include "DaemonLease.h"
#include "Formatting.h"
#include "MinimumRecord.h"
#include "PrivateTmp.h"
#include "RecordTexts.h"
#include "Reply.h"
#include "SettingsKeys.h"
#include "Texts.h"
#include "WritePath.h"

using namespace std::chrono_literals;

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
        {replied(protocol::kReplyTooHot), WriteOutcome::tooHot},
        {replied(protocol::formatReply(protocol::Reply::followsCurve(1))),
         WriteOutcome::daemonRuns},
        {replied(protocol::formatReply(protocol::Reply::hasFloor(0))), WriteOutcome::daemonRuns},
        {replied(protocol::formatReply(protocol::Reply::curveOff(0))), WriteOutcome::done},
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

using WritePathTest = AppFixture;

TEST_F(WritePathTest, RowActionsAndRestoreSendTheirCommands) {
    Emulator& emu = startMachine(machines::modeKeys, true);
    emu.control("set F0Ac 336b0645");         // 2150.7
    emu.control("fault F0Tg read e00002c7");  // no target reading
    emu.control("set F1Tg 00805945");         // 3480
    FakeDaemon daemon(socketPath(), FakeDaemon::daemonLike);
    auto app = makeApp();

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
    startMachine(machines::modeKeys);
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
        if (line == "set 0 8") return {{protocol::kReplyBusy + std::string("\n")}};
        if (line == "set 0 9") return {{protocol::kReplyTooHot + std::string("\n")}};
        if (line == "set 0 10")
            return {{protocol::formatReply(protocol::Reply::followsCurve(0)) + "\n"}};
        return {{"OK set fan=0 rpm=2000\n"}};
    });
    auto app = makeApp();
    for (int rpm = 1; rpm <= 11; ++rpm)
        app->sliderChanged(0, rpm);
    // The alerts' texts byte for byte; the other tests take them from the application's
    // texts. A key the driver cannot write is not blamed on privilege.
    const std::vector<Alert> shown = {
        {AlertStyle::warning, "写入被拒绝",
         "控制服务不是以 root 运行的（权限不足）。\n请在终端执行：sudo pkill -f 'orvtool "
         "serve'\n然后重新操作，会再次弹出管理员授权。"},
        {AlertStyle::warning, "控制服务无响应",
         "命令「set 0 4」发送失败，守护进程可能已退出。\n再次操作即可重新拉起服务。"},
        {AlertStyle::warning, "控制服务无响应",
         "命令「set 0 5」发送失败：控制服务接受了连接，但没有回复。\n请在终端执行：sudo pkill "
         "-f 'orvtool serve'\n然后重新操作，会再次拉起服务。"},
        {AlertStyle::warning, "写入被拒绝",
         "本机的 SMC 驱动不支持写入该键（如风扇模式键，或非 fpe2 类型的转速键）。\n以 root "
         "运行也无法改变，本机无法这样控制该风扇。"},
        {AlertStyle::warning, "控制服务繁忙",
         "命令「set 0 8」未执行：控制服务的连接数已达上限，正忙于其他连接。\n请稍后再试。"},
        {AlertStyle::warning, "温度过高", "温度过高：降到 90 °C 以下之前只能把风扇设为最大转速"},
        {AlertStyle::warning, "风扇由控制服务运行",
         "风扇 0 正在按曲线运行：用 orvtool curve 0 off 结束曲线"}};
    EXPECT_EQ(alerts, shown);
    EXPECT_TRUE(launcher->scripts().empty());
}

// The heat guard's refusal is shown for what the user asked, never for the boost's own
// steps, which it retries by itself at every tick.
TEST_F(WritePathTest, GuardRefusalAlertsTheUserNotTheBoost) {
    startMachine(machines::modeKeys, true);
    FakeDaemon daemon(socketPath(), [](const std::string& line) -> FakeDaemon::Reply {
        if (line == "ping") return {{"OK pong fans=2\n"}};
        if (line.rfind("set", 0) == 0) return {{protocol::kReplyTooHot + std::string("\n")}};
        return {{"OK auto all\n"}};
    });
    QSettings().setValue(SettingsKeys::tempBoostEnabled, true);
    auto app = makeApp();
    for (const double t : {72.0, 75.0, 79.0})
        app->handleTempBoost(t, std::nullopt);
    const std::vector<std::string> sent = daemon.lines();
    EXPECT_GE(std::count_if(sent.begin(), sent.end(),
                            [](const std::string& line) { return line.rfind("set ", 0) == 0; }),
              3);
    EXPECT_TRUE(alerts.empty());

    app->sliderChanged(0, 2000);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].title, Texts::tooHotTitle);
}

// A daemon that stays silent, or one that refuses the connection for its limits, is there:
// it is reported, and neither replaced nor asked for with a password prompt, also by Quit,
// which tries a busy daemon again until its limit.
TEST_F(WritePathTest, SilentOrBusyDaemonIsReportedNotReplaced) {
    Emulator& emu = startMachine(machines::modeKeys);
    createTool();
    {
        FakeDaemon daemon(socketPath(), [](const std::string&) {
            return FakeDaemon::Reply{{}, true};
        });
        auto app = makeApp();
        app->restoreAllAuto();  // returns: the probe is bounded
        EXPECT_EQ(alerts, std::vector<Alert>{expected::unresponsive("auto")});
    }
    alerts.clear();
    FakeDaemon daemon(socketPath(), [](const std::string&) {
        return FakeDaemon::Reply{{protocol::kReplyBusy + std::string("\n")}};
    });
    auto app = makeApp();
    app->restoreAllAuto();
    app->sliderChanged(1, 3000);
    EXPECT_EQ(alerts, (std::vector<Alert>{expected::busy("auto"), expected::busy("set 1 3000")}));
    alerts.clear();
    emu.control("set F0Md 01");
    quitWaitLimit = 1500ms;
    auto quitting = makeApp();
    quitting->quitApp();
    EXPECT_EQ(terminated, 1);
    EXPECT_GE(daemon.commands().size(), 2u);  // tried again
    EXPECT_EQ(alerts, std::vector<Alert>{expected::quitFailed(Texts::quitBusy, toolPath())});
    EXPECT_TRUE(launcher->scripts().empty());
}

// A listener of another user at the socket is told nothing and no daemon is started over
// it; a tool another user could have planted is not run as root.
TEST_F(WritePathTest, ForeignListenerAndUntrustedToolAreReportedNotUsed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    startMachine(machines::modeKeys);
    createTool();
    const std::string open = dir.filePath("open").toStdString();
    ASSERT_EQ(::chmod(dir.path().toUtf8().constData(), 0755), 0);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(open)));
    ASSERT_EQ(::chown(open.c_str(), ForeignListener::kUid, ForeignListener::kUid), 0);
    AppDelegate::Seams o = seams();
    o.daemon.socketPath = open + "/orvane.sock";
    auto app = makeApp(o);
    {
        ForeignListener listener(o.daemon.socketPath);
        ASSERT_TRUE(listener.ok());
        app->sliderChanged(0, 5700);
        app->restoreAllAuto();
        const std::string at = o.daemon.socketPath;
        EXPECT_EQ(alerts, (std::vector<Alert>{expected::foreign(at, listener.kUid, "set 0 5700"),
                                              expected::foreign(at, listener.kUid, "auto")}));
        std::this_thread::sleep_for(400ms);  // past the listener's wait for a request
        EXPECT_EQ(listener.received(), "");
    }

    alerts.clear();
    ASSERT_EQ(::chown(toolPath().c_str(), ForeignListener::kUid, ForeignListener::kUid), 0);
    app->sliderChanged(0, 5700);
    ASSERT_TRUE(waitForAlerts(1));
    const std::string theirs =
        Texts::trustOwnedPrefix + std::to_string(ForeignListener::kUid) + Texts::trustOwnedSuffix;
    EXPECT_EQ(alerts, std::vector<Alert>{expected::untrustedTool(
                          toolPath(), expected::trustReason(toolPath(), theirs))});
    EXPECT_TRUE(launcher->scripts().empty());
}

TEST_F(WritePathTest, DownWithoutToolFailsWithoutPrompt) {
    startMachine(machines::modeKeys);
    auto app = makeApp();
    app->sliderChanged(0, 3000);
    EXPECT_TRUE(alerts.empty());  // the start runs in the background
    ASSERT_TRUE(waitForAlerts(1));
    // Names candidate A, beside the executable, and why it is not run.
    EXPECT_EQ(alerts, std::vector<Alert>{expected::startFailed(
                          toolPath(), expected::trustReason(toolPath(), Texts::trustMissing))});
    EXPECT_TRUE(launcher->scripts().empty());
}

TEST_F(WritePathTest, CancelledPromptFailsAfterPollingAndEachWriteTriesAgain) {
    startMachine(machines::modeKeys);
    createTool();
    auto app = makeApp();
    app->sliderChanged(0, 3000);
    app->manualModeChanged(1, false);
    ASSERT_TRUE(waitForAlerts(2));
    EXPECT_EQ(alerts, (std::vector<Alert>{expected::startFailed(toolPath()),
                                          expected::startFailed(toolPath())}));
    const std::string script = "(setsid '" + toolPath() + "' serve </dev/null >/dev/null 2>&1 &)";
    EXPECT_EQ(launcher->scripts(), (std::vector<std::string>{script, script}));
}

TEST_F(WritePathTest, StartedDaemonGetsTheCommand) {
    startMachine(machines::modeKeys);
    createTool();
    std::unique_ptr<FakeDaemon> daemon;
    // Through the installed service when its property list exists, without a prompt.
    std::ofstream(plistPath()) << "<plist/>";
    AppDelegate::Seams o = seams();
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
    EXPECT_EQ(alerts, std::vector<Alert>{expected::startFailed(toolPath())});
    EXPECT_TRUE(launcher->scripts().empty());
}

TEST_F(WritePathTest, QuitRestoresForcedFansFirst) {
    Emulator& emu = startMachine(machines::modeKeys);
    FakeDaemon daemon(socketPath(), FakeDaemon::daemonLike);
    auto app = makeApp();

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
    Emulator& emu = startMachine(machines::raisedMinimum);
    emu.control("set F0Mn 2ee0");  // forced at 3000 before the start
    ASSERT_EQ(writeMinimumRecord(dir.filePath("fan-minimums").toStdString(),
                                 {{hexBytes("1f40"), hexBytes("1f40")}}),
              0);
    {
        FakeDaemon daemon(socketPath(), FakeDaemon::daemonLike);
        auto app = makeApp();
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
    auto app = makeApp();
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
    Emulator& emu = startMachine(machines::modeKeys);
    emu.control("set F0Md 01");
    createTool();
    std::unique_ptr<FakeDaemon> daemon;
    launcher->action = [&] {
        daemon = std::make_unique<FakeDaemon>(socketPath(), FakeDaemon::daemonLike);
    };
    auto app = makeApp();
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
    EXPECT_EQ(alerts, std::vector<Alert>{expected::quitFailed(Texts::quitNotStarted, toolPath())});
    EXPECT_EQ(launcher->scripts().size(), 2u);
}

// Quit keeps sending "auto" within its limit until a reply comes: replies that say
// nothing are tried again half a second later, a slow reply is waited for (longer than a
// row's write would wait), an "ERR" reply ends the attempts, and anything but "OK" is
// reported before the application ends.
TEST_F(WritePathTest, QuitUsesItsWholeLimitToRestore) {
    Emulator& emu = startMachine(machines::modeKeys);
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
    auto app = makeApp();
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
    EXPECT_EQ(alerts, std::vector<Alert>{
                          expected::quitFailed(Texts::quitReplyPrefix + autoReply, toolPath())});
}

TEST_F(WritePathTest, QuitWaitsNoLongerThanItsLimit) {
    // The application's own limit; the tests pass shorter ones.
    EXPECT_EQ(AppDelegate::Seams{}.quitWaitLimit, std::chrono::seconds(120));
    Emulator& emu = startMachine(machines::modeKeys);
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
    auto app = makeApp();
    app->quitApp();
    EXPECT_EQ(terminated, 1);
    EXPECT_EQ(launcher->scripts().size(), 1u);
    EXPECT_EQ(alerts, std::vector<Alert>{expected::quitFailed(Texts::quitNoAnswer, toolPath())});
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

    // The application reading the record the daemon keeps, on the daemon's own addresses.
    AppDelegate::Seams realSeams() {
        AppDelegate::Seams o = seams();
        o.controller.recordPath = tmp->path(paths::kMinimumRecordPath);
        o.daemon.socketPath = tmp->path(paths::kSocketPath);
        o.daemon.fallbackSocketPath = tmp->path(paths::kFallbackSocketPath);
        o.starter.toolPath = [] { return std::string(ORVTOOL_BINARY); };
        o.daemon.exchangeTimeout = 3s;
        o.starter.pollInterval = 50ms;
        o.starter.probes = 100;
        return o;
    }

    // Starts `orvtool serve` inside, as root or as another user.
    void startDaemon(uid_t uid = 0) {
        ASSERT_GT(startDaemonInside(*tmp, "/tmp/orvane-daemon.log", uid), 0);
    }

    std::unique_ptr<PrivateTmp> tmp;
};

TEST_F(RealDaemonTest, WritesReachTheEmulator) {
    Emulator& emu = startMachine(machines::modeKeys);
    startDaemon();
    auto app = makeApp(realSeams());

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
    Emulator& emu = startMachine(machines::modeKeys);
    startDaemon(65534);
    auto app = makeApp(realSeams());
    app->sliderChanged(0, 3000);
    EXPECT_EQ(alerts, std::vector<Alert>{expected::foreign(tmp->path(paths::kFallbackSocketPath),
                                                           65534, "set 0 3000")});
    EXPECT_EQ(emu.value("F0Md"), hexBytes("00"));
    EXPECT_EQ(tmp->read("/tmp/orvane-daemon.log").find("set 0 3000"), std::string::npos);

    alerts.clear();
    AppDelegate::Seams own = realSeams();
    own.daemon.user = 65534;
    auto ownApp = makeApp(own);
    ownApp->sliderChanged(0, 3000);
    EXPECT_EQ(alerts, std::vector<Alert>{expected::writeRejected()});
    EXPECT_EQ(emu.value("F0Md"), hexBytes("00"));
    EXPECT_TRUE(launcher->scripts().empty());
}

TEST_F(RealDaemonTest, LauncherStartsTheDaemonForAWriteAndForQuit) {
    Emulator& emu = startMachine(machines::modeKeys);
    // The root shell of the administrator prompt, inside the private /tmp.
    AppDelegate::Seams o = realSeams();
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
    EXPECT_EQ(app->daemon.send(std::string(protocol::kQuit)), protocol::kReplyBye);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !app->daemon.isAlive(); }, 10000));
    emu.control("set F0Md 01");
    app->quitApp();
    EXPECT_EQ(terminated, 1);
    EXPECT_EQ(emu.value("F0Md"), hexBytes("00"));
    EXPECT_TRUE(alerts.empty());
}

// The application only reads the boot's record, and says so when it cannot use it.
TEST_F(RealDaemonTest, AppWarnsOfAnUnusableRecord) {
    startMachine(machines::raisedMinimum);
    ASSERT_EQ(::mkdir(tmp->path(paths::kRunDir).c_str(), 0755), 0);
    std::ofstream(tmp->path(paths::kMinimumRecordPath)) << "not a record\n";
    EXPECT_EQ(tmp->run({ORVANEBAR_BINARY, "--screenshot", "/tmp"}, "/tmp/app.log"), 0);
    const std::string warning =
        Texts::recordIgnoredPrefix +
        recordTexts::ignoredWarning(RecordProblem::malformed, paths::kMinimumRecordPath) + "\n";
    EXPECT_NE(tmp->read("/tmp/app.log").find(warning), std::string::npos)
        << tmp->read("/tmp/app.log");
    EXPECT_EQ(tmp->read(paths::kMinimumRecordPath), "not a record\n");
}

// The same on both machine families: with mode keys (forced by the mode bit and target)
// and without (forced by a raised minimum, known as such from the daemon's record).
class RealDaemonFamilyTest : public RealDaemonTest,
                             public ::testing::WithParamInterface<const char*> {
  protected:
    bool modeKeys() const { return machines::hasModeKeys(GetParam()); }

    // The application as launched; ticks come from the test.
    std::unique_ptr<AppDelegate> launchApp() { return launch(realSeams(), true); }
    void afterGracePeriod(AppDelegate& app) {
        queue.advance(FanRowLogic::gracePeriod);
        app.refreshTimer->start(0);  // one tick through the timer, as the application gets it
        QTest::qWait(50);
        app.refreshTimer->stop();
    }
    double rpm(int fan) { return emulatedRPM(*emu, fan); }
    std::string fanKeys() { return forcingKeys(*emu, modeKeys()); }
    // Fan 0 forced at 3000, fan 1 automatic; both automatic.
    std::string forcedAt3000() const { return modeKeys() ? "0100803b45 00" : "2ee0 1f40"; }
    std::string automatic() const { return modeKeys() ? "00 00" : "1f40 1f40"; }
};

// Ticking "手动" under load pins the fan at the speed automatic control has brought it to.
TEST_P(RealDaemonFamilyTest, ManualUnderLoadHoldsTheSpeed) {
    startMachine(GetParam(), true);
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
    startMachine(GetParam());
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
        EXPECT_EQ(r->targetLabel->text().toStdString(), speedText(3000));
        EXPECT_FALSE(shown->fanRows[1]->modeButton->isChecked());
        EXPECT_EQ(shown->fanRows[1]->targetLabel->text(), Texts::automaticTarget);
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
                         ::testing::Values(machines::modeKeys, machines::raisedMinimum),
                         [](const auto& info) {
                             return machines::hasModeKeys(info.param) ? "ModeKeys" : "NoModeKeys";
                         });
