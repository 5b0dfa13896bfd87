#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QWidgetAction>
#include <fstream>
#include <mutex>

#include "AppFixture.h"
#include "ControlProtocol.h"
#include "Formatting.h"
#include "MenuModel.h"
#include "MinimumRecord.h"
#include "SettingsKeys.h"
#include "StandingSettings.h"
#include "Status.h"
#include "StatusItem.h"
#include "TempBoost.h"
#include "Texts.h"

namespace {

// One line per menu entry: "---" for a separator, "row N" for a fan row, otherwise the
// title with "[x] "/"[ ] " for a check mark, " (disabled)" and the shortcut.
std::vector<std::string> describe(QMenu* menu, QAction* temperature) {
    std::vector<std::string> lines;
    const auto actions = menu->actions();
    for (QAction* action : actions) {
        std::string line;
        if (action->isSeparator()) {
            line = "---";
        } else if (auto* holder = qobject_cast<QWidgetAction*>(action)) {
            auto* row = dynamic_cast<FanRowView*>(holder->defaultWidget());
            line = row != nullptr ? "row " + std::to_string(row->fan) : "widget";
        } else {
            if (action->isCheckable()) line = action->isChecked() ? "[x] " : "[ ] ";
            line += action == temperature ? "temperature" : action->text().toStdString();
            if (!action->isEnabled()) line += " (disabled)";
            if (!action->shortcut().isEmpty())
                line += " " + action->shortcut().toString().toStdString();
        }
        lines.push_back(line);
    }
    return lines;
}

// The entries after the fans, from the application's texts.
const std::vector<std::string> kAfterRows = {
    "---",
    Texts::restoreAllAuto,
    "---",
    "[ ] " + tempBoostMenuTitle(0, 0),
    Texts::setTempThreshold,
    "---",
    Texts::installService,
    "---",
    std::string("[ ] ") + Texts::loginItem,
    Texts::quitApp + std::string(" Q"),
};

// describe() of the entries the menu lays out with a size, i.e. shows: Qt gives a
// separator it merges with its neighbour no room.
std::vector<std::string> describeShown(QMenu* menu, QAction* temperature) {
    std::vector<std::string> all = describe(menu, temperature), shown;
    const auto actions = menu->actions();
    for (qsizetype i = 0; i < actions.size(); ++i) {
        if (actions[i]->isVisible() && !menu->actionGeometry(actions[i]).isEmpty())
            shown.push_back(all[static_cast<std::size_t>(i)]);
    }
    return shown;
}

// A line of the sensors' submenu; without a value, the part before it.
std::string sensorLine(const std::string& key, const std::string& name, const std::string& value) {
    return key + Texts::sensorSeparator + name + Texts::sensorValueSeparator +
           (value.empty() ? "" : value + Texts::sensorDegrees);
}

std::vector<std::string> expectedMenu(int fans) {
    std::vector<std::string> lines = {"temperature (disabled)", Texts::sensorMenuTitle, "---"};
    for (int i = 0; i < fans; ++i)
        lines.push_back("row " + std::to_string(i));
    if (fans == 0) lines.push_back(Texts::noFans + std::string(" (disabled)"));
    lines.insert(lines.end(), kAfterRows.begin(), kAfterRows.end());
    return lines;
}

}  // namespace

class AppDelegateTest : public AppFixture {
  protected:
    // The fans as widget rows, or as submenus (a tray whose host draws the menu). Rows
    // clicked here send writes to a socket nobody listens at, with no tool to start.
    std::unique_ptr<AppDelegate> launch(bool fanSubmenus = false) {
        AppDelegate::Seams s = seams();
        s.fanSubmenus = fanSubmenus;
        return AppFixture::launch(std::move(s));
    }
    void refresh(AppDelegate& app) { app.refresh(); }
};

// The menu's texts byte for byte; the other tests take them from the application's texts.
TEST_F(AppDelegateTest, MenuEntriesWithTwoFans) {
    startMachine(machines::modeKeys);
    auto app = launch();
    EXPECT_EQ(describe(app->menu(), app->tempItem),
              (std::vector<std::string>{
                  "temperature (disabled)", "全部传感器", "---", "row 0", "row 1", "---",
                  "恢复全部自动模式", "---", "[ ] 阶梯加速（65→85℃）", "设置阶梯加速温度…", "---",
                  "安装免密码控制服务", "---", "[ ] 开机自动启动", "退出（恢复自动模式） Q"}));
    EXPECT_EQ(describeShown(app->menu(), app->tempItem), expectedMenu(2));
    ASSERT_EQ(app->fanRows.size(), 2u);
    EXPECT_EQ(app->statusItem->toolTip(), "Orvane 风扇控制（左键点开）");
    EXPECT_TRUE(app->refreshTimer->isActive());
    EXPECT_EQ(app->refreshTimer->interval(), 500);
}

// Where the tray's host draws the menu, each fan is a submenu in the row's place, titled
// from the first reading; the rest of the menu is the same.
TEST_F(AppDelegateTest, FanSubmenusTakeTheRowsPlace) {
    startMachine(machines::modeKeys);
    auto app = launch(true);
    EXPECT_TRUE(app->fanRows.empty());
    ASSERT_EQ(app->fanMenus.size(), 2u);
    const auto actions = app->menu()->actions();
    // The temperature line, the sensors' submenu and a separator come first.
    ASSERT_EQ(actions.size(), qsizetype(3 + 2 + kAfterRows.size()));
    for (int fan = 0; fan < 2; ++fan) {
        QAction* entry = actions[3 + fan];
        EXPECT_EQ(entry->menu(), app->fanMenus[std::size_t(fan)]->menu());
        const QString automatic =
            QString(Texts::rpmSuffix) + Texts::fanMenuSeparator + Texts::automaticTarget;
        EXPECT_TRUE(entry->text().endsWith(automatic)) << entry->text().toStdString();
        EXPECT_FALSE(entry->text().contains(Texts::fanRowInitialRPM)) << "still the placeholder";
    }
    std::vector<std::string> rest = describe(app->menu(), app->tempItem);
    rest.erase(rest.begin(), rest.begin() + 5);
    EXPECT_EQ(rest, kAfterRows);
    EXPECT_NE(app->lastTitle, statusTitle(0));  // the submenus' fans count for the peak
}

TEST_F(AppDelegateTest, MenuEntriesWithOneFanAndWithNone) {
    {
        startMachine(machines::oneFan);
        auto app = launch();
        EXPECT_EQ(describe(app->menu(), app->tempItem), expectedMenu(1));
    }
    {
        startMachineFromText("\"FNum\" \"ui8 \" 1 00\n");
        auto app = launch();
        EXPECT_EQ(describe(app->menu(), app->tempItem), expectedMenu(0));
        // Both separators keep their room in the laid-out menu.
        EXPECT_EQ(describeShown(app->menu(), app->tempItem), expectedMenu(0));
        EXPECT_EQ(app->lastTitle, statusTitle(0));
        EXPECT_EQ(app->tempItem->text(), Texts::tempLineNone);
    }
    // Before the first refresh the temperature line has its placeholder.
    EXPECT_EQ(buildMenuModel({}).front().title, Texts::tempLineInitial);
}

TEST_F(AppDelegateTest, ServiceEntryFollowsThePlistAtLaunch) {
    startMachine(machines::oneFan);
    EXPECT_EQ(launch()->launchDaemonMenuItem->text(), Texts::installService);
    std::ofstream(plistPath()) << "<plist/>\n";
    EXPECT_EQ(launch()->launchDaemonMenuItem->text(), Texts::uninstallService);
}

TEST_F(AppDelegateTest, BoostEntryFromStoredSettings) {
    startMachine(machines::oneFan);
    EXPECT_FALSE(launch()->tempBoostMenuItem->isChecked());
    QSettings().setValue(SettingsKeys::tempBoostEnabled, true);
    EXPECT_TRUE(launch()->tempBoostMenuItem->isChecked());
    QSettings().setValue(SettingsKeys::tempBoostEnabled, false);
    EXPECT_FALSE(launch()->tempBoostMenuItem->isChecked());

    QSettings().setValue(SettingsKeys::tempBoostThreshold, 90.0);
    auto app = launch();
    EXPECT_EQ(app->tempBoostMenuItem->text().toStdString(), tempBoostMenuTitle(0, 90));
    EXPECT_EQ(app->tempBoostStartTemp(), 70);
}

TEST_F(AppDelegateTest, RefreshShowsTheReadings) {
    Emulator& emu = startMachine(machines::modeKeys, true);
    emu.control("set F0Ac 00281945");  // 2450.5
    emu.control("set F1Ac 0000e144");  // 1800
    emu.control("set F1Md 01");
    emu.control("set F1Tg 00805945");  // 3480
    emu.control("set TC0P 2d33");      // 45.2
    emu.control("set TG0P 3399");      // 51.6
    auto app = launch();

    EXPECT_EQ(app->fanRows[0]->rpmLabel->text().toStdString(), speedText(2450.5));
    EXPECT_FALSE(app->fanRows[0]->modeButton->isChecked());
    EXPECT_EQ(app->fanRows[1]->rpmLabel->text().toStdString(), speedText(1800));
    EXPECT_TRUE(app->fanRows[1]->modeButton->isChecked());
    EXPECT_EQ(app->fanRows[1]->targetLabel->text().toStdString(), speedText(3480));
    EXPECT_EQ(app->statusItem->title(), statusTitle(2450.5));
    EXPECT_EQ(app->tempItem->text().toStdString(), temperatureLine(45.2, 51.6));

    // Same readings: the icon is not rendered again (the placeholder, then the reading).
    EXPECT_EQ(app->statusItem->renderCount(), 2);
    refresh(*app);
    EXPECT_EQ(app->statusItem->renderCount(), 2);
    emu.control("set F0Ac 00805945");
    refresh(*app);
    EXPECT_EQ(app->statusItem->title(), statusTitle(3480));
    EXPECT_EQ(app->statusItem->renderCount(), 3);

    // The login mark follows the login item (not enabled) whatever it was set to.
    app->loginMenuItem->setChecked(true);
    refresh(*app);
    EXPECT_FALSE(app->loginMenuItem->isChecked());
}

TEST_F(AppDelegateTest, OpenMenuTakesTheQuitKeyAndKeepsRowsInteractive) {
    startMachine(machines::modeKeys);
    auto app = launch();
    QMenu* menu = app->menu();
    QAction* quit = menu->actions().back();

    menu->popup(QPoint(0, 0));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    FanRowView* row = app->fanRows[0];
    // A click on the row's background or on its checkbox leaves the menu open. Sent to
    // the menu's window, as a pointer's would be, after hovering the row.
    const QPoint background = row->mapTo(menu, QPoint(150, 28));
    QTest::mouseMove(menu->windowHandle(), background - QPoint(40, 0));
    QTest::mouseMove(menu->windowHandle(), background);
    QTest::mouseClick(menu->windowHandle(), Qt::LeftButton, {}, background);
    EXPECT_TRUE(menu->isVisible());
    QTest::mouseClick(row->modeButton, Qt::LeftButton);
    EXPECT_TRUE(row->modeButton->isChecked());
    EXPECT_TRUE(menu->isVisible());

    // The refresh timer keeps running while the menu is open.
    app->lastTitle.clear();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !app->lastTitle.empty(); }, 5000));
    EXPECT_TRUE(menu->isVisible());

    QSignalSpy quitChosen(quit, &QAction::triggered);
    QTest::keyClick(menu, Qt::Key_Q);
    EXPECT_EQ(quitChosen.count(), 1);
    EXPECT_FALSE(menu->isVisible());
}

// The sensors' submenu lists every sensor while the menu is open; while it is closed the
// ticks read none of them, so an idle application makes no more SMC calls than before.
TEST_F(AppDelegateTest, SensorSubmenuIsReadOnlyWhileTheMenuIsOpen) {
    Emulator& emu = startMachine(machines::modeKeys, true);
    auto app = launch();
    auto callsNow = [&] { return emu.control("calls").substr(3); };
    // Sensors only the list reads: the temperature line reads TC0P and TG0P.
    auto sensorCalls = [&](const std::string& after) {
        const std::string trace = emu.control("trace " + after);
        int n = 0;
        for (const char* mark : {":index:", ":TB0T", ":TM0P", ":TW0P", "#KEY"})
            for (auto at = trace.find(mark); at != std::string::npos; at = trace.find(mark, at + 1))
                ++n;
        return n;
    };
    std::string start = callsNow();
    for (int i = 0; i < 3; ++i)
        refresh(*app);
    EXPECT_EQ(sensorCalls(start), 0);
    EXPECT_TRUE(app->sensorMenu->actions().isEmpty());

    app->menu()->popup(QPoint(0, 0));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(app->menu()));
    auto texts = [&] {
        std::vector<std::string> lines;
        for (QAction* action : app->sensorMenu->actions())
            lines.push_back(action->text().toStdString());
        return lines;
    };
    // The shipped machine's 14 sensors, then the 4 placeholders counted.
    std::vector<std::string> shown = texts();
    ASSERT_EQ(shown.size(), 15u);
    EXPECT_EQ(shown.front(), sensorLine("TA0P", "环境", "25.0"));
    EXPECT_EQ(shown[13].rfind(sensorLine("Ts0P", "掌托", ""), 0), 0u) << shown[13];
    EXPECT_EQ(shown.back(),
              Texts::sensorsLeftOutPrefix + std::string("4") + Texts::sensorsLeftOutSuffix);
    // Ticks while it is open follow the readings.
    emu.control("set TA0P 1a00");  // 26 degrees
    refresh(*app);
    EXPECT_EQ(texts().front(), sensorLine("TA0P", "环境", "26.0"));

    app->menu()->hide();
    start = callsNow();
    for (int i = 0; i < 3; ++i)
        refresh(*app);
    EXPECT_EQ(sensorCalls(start), 0);
}

// With readings that do not change, a tick leaves every widget alone.
TEST_F(AppDelegateTest, UnchangedReadingsWriteNothing) {
    Emulator& emu = startMachine(machines::modeKeys, true);
    emu.control("set F1Md 01");
    emu.control("set F1Tg 00007a45");  // fan 1 forced at 4000 rpm
    auto app = launch();
    refresh(*app);
    auto writes = [&] {
        int n = 0;
        for (FanRowView* row : app->fanRows)
            n += row->widgetWrites();
        return n;
    };
    const int rowWrites = writes();
    const int renders = app->statusItem->renderCount();
    QSignalSpy temperatureChanges(app->tempItem, &QAction::changed);
    QSignalSpy loginChanges(app->loginMenuItem, &QAction::changed);
    for (int i = 0; i < 3; ++i)
        refresh(*app);
    EXPECT_EQ(writes(), rowWrites);
    EXPECT_EQ(app->statusItem->renderCount(), renders);
    EXPECT_EQ(temperatureChanges.count(), 0);
    EXPECT_EQ(loginChanges.count(), 0);

    emu.control("set F1Tg 00409c45");  // 5000 rpm: the row follows
    refresh(*app);
    EXPECT_GT(writes(), rowWrites);
}

// Fans the daemon runs by a curve or a floor, on both families, with fan 0 driven at 3000 as
// the daemon's curve would (its mode byte and target, or a raised minimum against the
// boot's record). The stand-in daemon lists the settings in `standing` (a reply line to
// `curves`, empty: it does not know the request) and answers `status` with `status` (empty:
// a daemon older than the request); the application's writes are recorded.
class StandingFanTest : public AppDelegateTest, public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        AppDelegateTest::SetUp();
        startMachine(GetParam(), true);
        ASSERT_EQ(writeMinimumRecord(recordPath(), {{hexBytes("1f40"), hexBytes("1f40")}}), 0);
        if (machines::hasModeKeys(GetParam())) {
            emu->control("set F0Md 01");
            emu->control("set F0Tg 00803b45");
        } else {
            emu->control("set F0Mn 2ee0");
        }
        startDaemon();
    }
    void startDaemon() {
        daemon = std::make_unique<FakeDaemon>(socketPath(), [this](const std::string& line) {
            const std::lock_guard<std::mutex> lock(mutex);
            if (line == protocol::kStatus && !status.empty())
                return FakeDaemon::Reply{{status + "\n"}};
            if (line != protocol::kCurves) return FakeDaemon::daemonLike(line);
            return FakeDaemon::Reply{
                {(standing.empty() ? protocol::kReplyUnknown + line : standing) + "\n"}};
        });
    }
    void setStanding(const std::string& reply) {
        const std::lock_guard<std::mutex> lock(mutex);
        standing = reply;
    }

    // Launched with its fans as rows or submenus; ticks come from the test. Once the first
    // answer is in, the fans the daemon runs are `count`.
    std::unique_ptr<RecordingApp> launchApp(std::size_t count, bool fanSubmenus = false) {
        AppDelegate::Seams s = seams();
        s.fanSubmenus = fanSubmenus;
        auto app = AppFixture::launch<RecordingApp>(std::move(s), true);
        EXPECT_TRUE(learned(*app, count));
        return app;
    }
    // The next question's answer (a tick once the last one is old enough).
    bool learned(RecordingApp& app, std::size_t count) {
        queue.advance(StandingPoll::interval);
        refresh(app);
        return QTest::qWaitFor([&] { return app.standingFans().size() == count; }, 5000);
    }

    void setStatus(const std::vector<protocol::FanState>& fans) {
        protocol::StatusReport report;
        report.fans = fans;
        const std::lock_guard<std::mutex> lock(mutex);
        status = protocol::formatReply(protocol::Reply::status(protocol::formatStatus(report)));
    }

    std::mutex mutex;
    std::string standing = "OK curves curve 0 cpu 40:1500 80:5000";
    std::string status;
    std::unique_ptr<FakeDaemon> daemon;
};

// The exact texts: the row's target, the submenu's title and the tooltip say how the daemon
// runs each fan.
TEST_P(StandingFanTest, RowSubmenuAndTooltipSaySo) {
    setStanding("OK curves curve 0 max:TC0P,gpu 40:1500 80:5000; floor 1 2000");
    for (const bool submenus : {false, true}) {
        auto app = launchApp(2, submenus);
        EXPECT_EQ(app->statusItem->toolTip().toStdString(),
                  "Orvane 风扇控制（左键点开）\n风扇 0：按曲线运行（max:TC0P,gpu）\n风扇 1：最低 "
                  "2000 rpm");
        if (!submenus) {
            EXPECT_EQ(app->fanRows[0]->targetLabel->text(), "按曲线运行（max:TC0P,gpu）");
            EXPECT_EQ(app->fanRows[1]->targetLabel->text(), "最低 2000 rpm");
            EXPECT_EQ(app->fanRows[0]->toolTip(), "按曲线运行（max:TC0P,gpu）");
            continue;
        }
        app->fanMenus[0]->setShown(true);
        const QString title = app->fanMenus[0]->menu()->title();
        EXPECT_TRUE(title.endsWith(QString(Texts::rpmSuffix) + "  按曲线运行（max:TC0P,gpu）"))
            << title.toStdString();
    }
}

// The tooltip says who else holds a fan: another user's set or lease, or root's own write on
// the SMC. A fan held for this application's user says nothing more; `status` carries the
// curves as `curves` does.
TEST_P(StandingFanTest, TooltipSaysWhoElseHoldsAFan) {
    using protocol::FanControl;
    const auto held = [](FanControl control, std::optional<long> uid) {
        protocol::FanState fan;
        fan.fan = 1;
        fan.forced = control != FanControl::automatic;
        fan.control = control;
        fan.uid = uid;
        fan.lease = control == FanControl::lease;
        return fan;
    };
    protocol::FanState curve;
    curve.control = FanControl::curve;
    curve.setting = "curve 0 cpu 40:1500 80:5000";
    const long self = ::getuid();
    const std::string tip = std::string(Texts::statusToolTip) + "\n风扇 0：按曲线运行（cpu）";

    setStatus({curve, held(FanControl::lease, 1001)});
    auto app = launchApp(1);
    EXPECT_EQ(app->statusItem->toolTip().toStdString(), tip + "\n风扇 1：由用户 1001 控制");
    const std::pair<protocol::FanState, std::string> cases[] = {
        {held(FanControl::set, std::nullopt), "\n风扇 1：由 root 直接设定"},
        {held(FanControl::set, 1002), "\n风扇 1：由用户 1002 控制"},
        {held(FanControl::lease, self), ""},
        {held(FanControl::set, self), ""},
        {held(FanControl::automatic, std::nullopt), ""},
    };
    for (const auto& [fan, line] : cases) {
        SCOPED_TRACE(line);
        setStatus({held(FanControl::set, 1003), curve});  // a change between cases
        queue.advance(StandingPoll::interval);
        refresh(*app);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return app->statusItem->toolTip().toStdString().find("1003") != std::string::npos;
            },
            5000));
        setStatus({curve, fan});
        queue.advance(StandingPoll::interval);
        refresh(*app);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return app->statusItem->toolTip().toStdString() == tip + line; }, 5000))
            << app->statusItem->toolTip().toStdString();
    }
    EXPECT_EQ(app->standingFans().size(), 1u);
}

// A change of the curve's fan asks first: declined, nothing is sent and the row shows the
// fan as it runs; agreed, the request goes out. The other fan changes without a question.
TEST_P(StandingFanTest, ChangeAsksBeforeEndingTheCurve) {
    auto app = launchApp(1);
    FanRowView* row = app->fanRows[0];
    ASSERT_EQ(row->slider->value(), 3000);
    const std::string question = std::string(Texts::endCurveTitle) + "|" + Texts::endCurveMessage +
                                 "|" + Texts::endCurveButton;

    confirm = false;
    row->slider->setValue(4000);
    queue.advance(FanRowLogic::writeDelay);
    row->modeButton->click();  // unticked: automatic
    EXPECT_EQ(confirmations, (std::vector<std::string>{question, question}));
    EXPECT_TRUE(app->take().empty());
    refresh(*app);  // no grace period after a no
    EXPECT_EQ(row->slider->value(), 3000);
    EXPECT_TRUE(row->modeButton->isChecked());
    EXPECT_EQ(row->targetLabel->text().toStdString(), standingNote(app->standingFans().at(0)));

    confirm = true;
    row->slider->setValue(4000);
    queue.advance(FanRowLogic::writeDelay);
    app->fanRows[1]->slider->setValue(2500);
    queue.advance(FanRowLogic::writeDelay);
    EXPECT_EQ(app->take(), (std::vector<std::string>{"set 0 4000", "set 1 2500"}));
    EXPECT_EQ(confirmations.size(), 3u);

    // The submenu's choice the same way.
    auto hosted = launchApp(1, true);
    confirmations.clear();
    confirm = false;
    hosted->fanMenus[0]->chooseAutomatic();
    EXPECT_TRUE(hosted->take().empty());
    confirm = true;
    hosted->fanMenus[0]->chooseAutomatic();
    EXPECT_EQ(hosted->take(), std::vector<std::string>{"auto 0"});
    EXPECT_EQ(confirmations, (std::vector<std::string>{question, question}));
}

// The boost drives the other fan and leaves the curve's alone, on its way up and down.
TEST_P(StandingFanTest, BoostSkipsTheCurvesFan) {
    QSettings().setValue(SettingsKeys::tempBoostEnabled, true);
    auto app = launchApp(1);
    app->take();
    app->handleTempBoost(72, std::nullopt);
    EXPECT_EQ(app->take(), std::vector<std::string>{
                               protocol::setRequest(1, TempBoost::stepRPM(1, app->ctl.maxRPM(1)))});
    app->handleTempBoost(50, std::nullopt);
    EXPECT_EQ(app->take(), std::vector<std::string>{protocol::autoRequest(1)});
    // Records that do not fit the fans: each other fan back to automatic, not all of them.
    app->handleTempBoost(90, std::nullopt);
    app->boost.preBoostStates->pop_back();
    app->take();
    app->handleTempBoost(50, std::nullopt);
    EXPECT_EQ(app->take(), std::vector<std::string>{protocol::autoRequest(1)});
    EXPECT_TRUE(confirmations.empty());
}

// A daemon that does not know `curves`, or none at all, runs no fan: once the curve is gone
// from the answers, the row, the tooltip, the slider and the boost are as without curves.
TEST_P(StandingFanTest, DaemonWithoutCurvesLeavesEverythingAsBefore) {
    QSettings().setValue(SettingsKeys::tempBoostEnabled, true);
    for (const bool daemonGone : {false, true}) {
        daemon.reset();  // its end takes the socket away
        startDaemon();
        setStanding("OK curves curve 0 cpu 40:1500 80:5000");
        auto app = launchApp(1);
        if (daemonGone) {
            daemon.reset();
        } else {
            setStanding("");
        }
        ASSERT_TRUE(learned(*app, 0)) << daemonGone;
        refresh(*app);
        EXPECT_EQ(app->statusItem->toolTip(), Texts::statusToolTip);
        EXPECT_EQ(app->fanRows[0]->targetLabel->text().toStdString(), speedText(3000));
        app->take();
        app->fanRows[0]->slider->setValue(4000);
        queue.advance(FanRowLogic::writeDelay);
        EXPECT_EQ(app->take(), std::vector<std::string>{"set 0 4000"});
        app->handleTempBoost(90, std::nullopt);
        EXPECT_EQ(app->take().size(), 2u);
        EXPECT_TRUE(confirmations.empty());
    }
}

// "恢复全部自动模式" and Quit hand back the fans this application may have forced, not one the
// daemon runs by a curve (which looks forced as well).
TEST_P(StandingFanTest, RestoreAndQuitLeaveTheCurvesFanToTheDaemon) {
    auto app = launchApp(1);
    app->restoreAllAuto();
    EXPECT_EQ(app->take(), std::vector<std::string>{protocol::autoRequest(1)});
    app->quitApp();
    EXPECT_EQ(terminated, 1);
    const auto sent = [&] {
        std::vector<std::string> commands = daemon->commands();
        std::erase_if(commands, [](const std::string& line) {
            return line == protocol::kCurves || line == protocol::kStatus ||
                   line.rfind(protocol::kHold, 0) == 0;
        });
        return commands;
    };
    EXPECT_TRUE(sent().empty());

    if (machines::hasModeKeys(GetParam())) {
        emu->control("set F1Md 01");
    } else {
        emu->control("set F1Mn 2ee0");
    }
    app->quitApp();
    EXPECT_EQ(sent(), std::vector<std::string>{protocol::kAutoAllRequest});
    EXPECT_TRUE(alerts.empty());
}

INSTANTIATE_TEST_SUITE_P(Families, StandingFanTest,
                         ::testing::Values(machines::modeKeys, machines::raisedMinimum),
                         [](const auto& info) { return machines::familyName(info.param); });
