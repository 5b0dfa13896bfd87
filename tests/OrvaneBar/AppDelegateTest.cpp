#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidgetAction>
#include <fstream>

#include "AppDelegate.h"
#include "Emulator.h"
#include "ManualQueue.h"
#include "MenuModel.h"
#include "SettingsKeys.h"
#include "StatusItem.h"

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

const std::vector<std::string> kAfterRows = {
    "---", "恢复全部自动模式",   "---", "[ ] 阶梯加速（65→85℃）", "设置阶梯加速温度…",
    "---", "安装免密码控制服务", "---", "[ ] 开机自动启动",       "退出（恢复自动模式） Q",
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

std::vector<std::string> expectedMenu(int fans) {
    std::vector<std::string> lines = {"temperature (disabled)", "全部传感器", "---"};
    for (int i = 0; i < fans; ++i)
        lines.push_back("row " + std::to_string(i));
    if (fans == 0) lines.push_back("未检测到风扇 (disabled)");
    lines.insert(lines.end(), kAfterRows.begin(), kAfterRows.end());
    return lines;
}

}  // namespace

class AppDelegateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    }

    // The fans as widget rows, or as submenus (a tray whose host draws the menu).
    std::unique_ptr<AppDelegate> launch(bool fanSubmenus = false) {
        AppDelegate::Seams seams;
        seams.fanSubmenus = fanSubmenus;
        seams.controller.recordPath = dir.filePath("fan-minimums").toStdString();
        seams.launchDaemonPlistPath = plistPath();
        seams.queue = &queue;
        seams.showStatusItem = false;
        // Rows clicked here send writes: to a socket nobody listens at, with no tool to start.
        seams.daemon.socketPath = dir.filePath("orvane.sock").toStdString();
        seams.starter.toolPath = [missing = dir.filePath("no-orvtool").toStdString()] {
            return missing;
        };
        seams.starter.launcher = [](const std::string&) { return std::optional<int>(); };
        seams.starter.kickstart = [] { return false; };
        // Start at login in the test's folder, without the desktop's autostart.
        seams.loginItem.home = dir.path().toStdString();
        seams.loginItem.service = std::shared_ptr<LoginItemService>();
        auto app = std::make_unique<AppDelegate>(seams);
        app->applicationDidFinishLaunching();
        return app;
    }

    std::string plistPath() const { return dir.filePath("com.orvane.orvtool.plist").toStdString(); }
    void refresh(AppDelegate& app) { app.refresh(); }

    QTemporaryDir dir;
    ManualQueue queue;
};

TEST_F(AppDelegateTest, MenuEntriesWithTwoFans) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    auto app = launch();
    EXPECT_EQ(describe(app->menu(), app->tempItem), expectedMenu(2));
    EXPECT_EQ(describeShown(app->menu(), app->tempItem), expectedMenu(2));
    ASSERT_EQ(app->fanRows.size(), 2u);
    EXPECT_EQ(app->statusItem->toolTip(), "Orvane 风扇控制（左键点开）");
    EXPECT_TRUE(app->refreshTimer->isActive());
    EXPECT_EQ(app->refreshTimer->interval(), 500);
}

// Where the tray's host draws the menu, each fan is a submenu in the row's place, titled
// from the first reading; the rest of the menu is the same.
TEST_F(AppDelegateTest, FanSubmenusTakeTheRowsPlace) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    auto app = launch(true);
    EXPECT_TRUE(app->fanRows.empty());
    ASSERT_EQ(app->fanMenus.size(), 2u);
    const auto actions = app->menu()->actions();
    // The temperature line, the sensors' submenu and a separator come first.
    ASSERT_EQ(actions.size(), qsizetype(3 + 2 + kAfterRows.size()));
    for (int fan = 0; fan < 2; ++fan) {
        QAction* entry = actions[3 + fan];
        EXPECT_EQ(entry->menu(), app->fanMenus[std::size_t(fan)]->menu());
        EXPECT_TRUE(entry->text().endsWith(" RPM  自动")) << entry->text().toStdString();
        EXPECT_FALSE(entry->text().contains("-- RPM")) << "still the placeholder";
    }
    std::vector<std::string> rest = describe(app->menu(), app->tempItem);
    rest.erase(rest.begin(), rest.begin() + 5);
    EXPECT_EQ(rest, kAfterRows);
    EXPECT_NE(app->lastTitle, "0.0k");  // the submenus' fans count for the peak
}

TEST_F(AppDelegateTest, MenuEntriesWithOneFanAndWithNone) {
    {
        Emulator emu(Emulator::shippedProfile("single-fan.prof"));
        auto app = launch();
        EXPECT_EQ(describe(app->menu(), app->tempItem), expectedMenu(1));
    }
    {
        Emulator emu("\"FNum\" \"ui8 \" 1 00\n", true);
        auto app = launch();
        EXPECT_EQ(describe(app->menu(), app->tempItem), expectedMenu(0));
        // Both separators keep their room in the laid-out menu.
        EXPECT_EQ(describeShown(app->menu(), app->tempItem), expectedMenu(0));
        EXPECT_EQ(app->lastTitle, "0.0k");
        EXPECT_EQ(app->tempItem->text(), "Orvane");
    }
    // Before the first refresh the temperature line has its placeholder.
    EXPECT_EQ(buildMenuModel({}).front().title, "CPU --  GPU --");
}

TEST_F(AppDelegateTest, ServiceEntryFollowsThePlistAtLaunch) {
    Emulator emu(Emulator::shippedProfile("single-fan.prof"));
    EXPECT_EQ(launch()->launchDaemonMenuItem->text(), "安装免密码控制服务");
    std::ofstream(plistPath()) << "<plist/>\n";
    EXPECT_EQ(launch()->launchDaemonMenuItem->text(), "卸载免密码控制服务");
}

TEST_F(AppDelegateTest, BoostEntryFromStoredSettings) {
    Emulator emu(Emulator::shippedProfile("single-fan.prof"));
    EXPECT_FALSE(launch()->tempBoostMenuItem->isChecked());
    QSettings().setValue(SettingsKeys::tempBoostEnabled, true);
    EXPECT_TRUE(launch()->tempBoostMenuItem->isChecked());
    QSettings().setValue(SettingsKeys::tempBoostEnabled, false);
    EXPECT_FALSE(launch()->tempBoostMenuItem->isChecked());

    QSettings().setValue(SettingsKeys::tempBoostThreshold, 90.0);
    auto app = launch();
    EXPECT_EQ(app->tempBoostMenuItem->text(), "阶梯加速（70→90℃）");
    EXPECT_EQ(app->tempBoostStartTemp(), 70);
}

TEST_F(AppDelegateTest, RefreshShowsTheReadings) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    emu.control("clock freeze");
    emu.control("set F0Ac 00281945");  // 2450.5
    emu.control("set F1Ac 0000e144");  // 1800
    emu.control("set F1Md 01");
    emu.control("set F1Tg 00805945");  // 3480
    emu.control("set TC0P 2d33");      // 45.2
    emu.control("set TG0P 3399");      // 51.6
    auto app = launch();

    EXPECT_EQ(app->fanRows[0]->rpmLabel->text(), "2450 RPM");
    EXPECT_FALSE(app->fanRows[0]->modeButton->isChecked());
    EXPECT_EQ(app->fanRows[1]->rpmLabel->text(), "1800 RPM");
    EXPECT_TRUE(app->fanRows[1]->modeButton->isChecked());
    EXPECT_EQ(app->fanRows[1]->targetLabel->text(), "3480 RPM");
    EXPECT_EQ(app->statusItem->title(), "2.5k");
    EXPECT_EQ(app->tempItem->text(), "CPU 45℃   GPU 52℃");

    // Same readings: the icon is not rendered again ("--", then "2.5k").
    EXPECT_EQ(app->statusItem->renderCount(), 2);
    refresh(*app);
    EXPECT_EQ(app->statusItem->renderCount(), 2);
    emu.control("set F0Ac 00805945");
    refresh(*app);
    EXPECT_EQ(app->statusItem->title(), "3.5k");
    EXPECT_EQ(app->statusItem->renderCount(), 3);

    // The login mark follows the login item (not enabled) whatever it was set to.
    app->loginMenuItem->setChecked(true);
    refresh(*app);
    EXPECT_FALSE(app->loginMenuItem->isChecked());
}

TEST_F(AppDelegateTest, OpenMenuTakesTheQuitKeyAndKeepsRowsInteractive) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
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
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    emu.control("clock freeze");
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
    EXPECT_EQ(shown.front(), "TA0P  环境\t25.0℃");
    EXPECT_EQ(shown[13].rfind("Ts0P  掌托\t", 0), 0u) << shown[13];
    EXPECT_EQ(shown.back(), "另有 4 个传感器未列出（读不到、占位值或读数不可信）");
    // Ticks while it is open follow the readings.
    emu.control("set TA0P 1a00");  // 26 degrees
    refresh(*app);
    EXPECT_EQ(texts().front(), "TA0P  环境\t26.0℃");

    app->menu()->hide();
    start = callsNow();
    for (int i = 0; i < 3; ++i)
        refresh(*app);
    EXPECT_EQ(sensorCalls(start), 0);
}

// With readings that do not change, a tick leaves every widget alone.
TEST_F(AppDelegateTest, UnchangedReadingsWriteNothing) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    emu.control("clock freeze");
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
