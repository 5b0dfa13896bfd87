// The tray application on desktops whose panel draws tray icons from the session bus
// (StatusNotifierItem) and their menus from what the application exports there
// (com.canonical.dbusmenu): a session bus with a StatusNotifierWatcher, an X server (Xvfb)
// or a Wayland compositor (weston), the SMC emulator, the control daemon as root and the
// built OrvaneBar, all in a private /tmp, /run and /var/log. The test acts as the host
// does, through the protocol only, and checks the emulator's keys and the daemon's log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QImage>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "../OrvaneBar/AppFixture.h"
#include "ControlProtocol.h"
#include "FanMenu.h"
#include "Formatting.h"
#include "LeakCheck.h"
#include "Paths.h"
#include "PrivateTmp.h"
#include "SniHost.h"
#include "Texts.h"
#include "WaylandDesktop.h"
#include "XDesktop.h"

using namespace std::chrono_literals;

namespace {

const QString kShots = QStringLiteral(ORVANE_BINARY_DIR "/desktop-shots");
const std::string kLog = paths::kLogPath;

// Entries a host would draw empty: neither a separator nor labelled.
int blankEntries(const MenuNode& node) {
    int blanks = 0;
    for (const MenuNode& child : node.children) {
        if (!child.isSeparator() && child.label().trimmed().isEmpty()) ++blanks;
        blanks += blankEntries(child);
    }
    return blanks;
}

// The share of pixels that differ between two pictures of the same size (1 when the sizes
// differ).
double changedShare(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.isNull()) return 1;
    long changed = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x)
            changed += a.pixel(x, y) != b.pixel(x, y);
    }
    return double(changed) / (double(a.width()) * a.height());
}

// The fans' submenus: every submenu with entries but the sensors' one.
std::vector<const MenuNode*> submenus(const MenuNode& root) {
    std::vector<const MenuNode*> found;
    for (const MenuNode& child : root.children) {
        if (child.isSubmenu() && !child.children.empty() &&
            child.label() != QString::fromUtf8(Texts::sensorMenuTitle))
            found.push_back(&child);
    }
    return found;
}

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

// A machine family and the platform the application runs on.
struct SniCase {
    const char* profile;
    const char* platform;  // "xcb" or "wayland"
};

void PrintTo(const SniCase& c, std::ostream* out) {
    *out << c.profile << " on " << c.platform;
}

class SniTrayTest : public AppFixture, public ::testing::WithParamInterface<SniCase> {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp needs root";
        ASSERT_TRUE(QDir().mkpath(kShots));
        tmp = std::make_unique<PrivateTmp>();
        ASSERT_TRUE(tmp->ok()) << tmp->error();
        host = std::make_unique<SniHost>(*tmp);
        ASSERT_TRUE(host->ok()) << host->error();
        if (wayland()) {
            weston = std::make_unique<WaylandDesktop>(*tmp);
            ASSERT_TRUE(weston->ok()) << weston->error();
        } else {
            desktop = std::make_unique<XDesktop>(*tmp);
            ASSERT_TRUE(desktop->ok()) << desktop->error();
        }
    }

    void TearDown() override {
        if (HasFailure() && tmp && tmp->ok()) {
            for (const char* log : {"/tmp/app.log", "/tmp/daemon.out", "/tmp/sni-watcher.log",
                                    "/tmp/weston.log", "/var/log/orvane/daemon.log"})
                std::fprintf(stderr, "--- %s\n%s", log, tmp->read(log).c_str());
        }
        if (app > 0 && !appExited()) {
            ::kill(app, SIGKILL);
            ::waitpid(app, nullptr, 0);
        }
        AppFixture::TearDown();
    }

    bool wayland() const { return std::string(GetParam().platform) == "wayland"; }
    bool modeKeys() const { return machines::hasModeKeys(GetParam().profile); }

    // The emulated machine with its clock stopped, the daemon as root, then the application
    // on the desktop's session bus; returns when its item is registered.
    void startSession() {
        startMachine(GetParam().profile, true);
        for (int fan = 0; fan < 2; ++fan)
            originalMinimum.push_back(emu->value("F" + std::to_string(fan) + "Mn"));
        ASSERT_GT(startDaemonInside(*tmp, "/tmp/daemon.out"), 0);

        ::mkdir(tmp->path("/tmp/home").c_str(), 0700);
        ::mkdir(tmp->path("/tmp/runtime").c_str(), 0700);
        std::vector<std::string> environment{"HOME=/tmp/home",
                                             "DBUS_SESSION_BUS_ADDRESS=" + SniHost::address()};
        for (const std::string& entry : leakCheckEnvironment())
            environment.push_back(entry);
        if (wayland()) {
            environment.insert(environment.end(),
                               {"QT_QPA_PLATFORM=wayland",
                                std::string("XDG_RUNTIME_DIR=") + WaylandDesktop::runtimeDir,
                                std::string("WAYLAND_DISPLAY=") + WaylandDesktop::socketName});
        } else {
            environment.insert(environment.end(),
                               {"QT_QPA_PLATFORM=xcb", "XDG_RUNTIME_DIR=/tmp/runtime"});
        }
        // The other platform's display is left out, so nothing else is reached.
        app = tmp->start(appCommandLine(environment, {wayland() ? "DISPLAY" : "WAYLAND_DISPLAY"}),
                         "/tmp/app.log");
        ASSERT_GT(app, 0);
        ASSERT_TRUE(host->waitForItem(app)) << "no item of the application on the bus";
    }

    bool appExited() {
        if (appStatus) return true;
        int status = 0;
        if (::waitpid(app, &status, WNOHANG) != app) return false;
        appStatus = status;
        return true;
    }

    MenuNode layout() {
        std::optional<MenuNode> root = host->layout();
        EXPECT_TRUE(root.has_value()) << "the menu cannot be read";
        return root.value_or(MenuNode{});
    }

    // The submenu of `fan` in a fresh layout.
    MenuNode fanMenu(int fan) {
        const MenuNode root = layout();
        const std::vector<const MenuNode*> fans = submenus(root);
        return fan < int(fans.size()) ? *fans[std::size_t(fan)] : MenuNode{};
    }

    // Whether fan `fan` is forced at its maximum, or automatic, as the keys that force it
    // show: the mode byte with the target, or the minimum.
    bool forcedAtMaximum(int fan) {
        const std::string f = "F" + std::to_string(fan);
        const auto maximum = emu->value(f + "Mx");
        if (modeKeys())
            return hexString(emu->value(f + "Md")) == "01" && emu->value(f + "Tg") == maximum;
        return emu->value(f + "Mn") == maximum;
    }
    bool automatic(int fan) {
        const std::string f = "F" + std::to_string(fan);
        if (modeKeys()) return hexString(emu->value(f + "Md")) == "00";
        return emu->value(f + "Mn") == originalMinimum.at(std::size_t(fan));
    }

    bool logged(const std::string& line) {
        return waitUntil([&] { return tmp->read(kLog).find(line) != std::string::npos; });
    }

    std::unique_ptr<PrivateTmp> tmp;
    std::unique_ptr<SniHost> host;
    std::unique_ptr<XDesktop> desktop;
    std::unique_ptr<WaylandDesktop> weston;
    std::vector<std::vector<std::uint8_t>> originalMinimum;
    pid_t app = -1;
    std::optional<int> appStatus;
};

// The exported menu shows every fan with its speed and no blank entry; a host's clicks
// force each fan to a speed and hand it back through the daemon; the titles follow the
// readings while the menu is open and hold while it is closed; the left click opens a menu;
// Quit ends the application.
TEST_P(SniTrayTest, ExportedMenuDrivesEveryFan) {
    ASSERT_NO_FATAL_FAILURE(startSession());
    const QString tag = QString(GetParam().profile).remove(".prof") + "-" + GetParam().platform;

    MenuNode root = layout();
    EXPECT_EQ(blankEntries(root), 0);
    ASSERT_EQ(submenus(root).size(), 2u) << "one submenu per fan";
    for (int fan = 0; fan < 2; ++fan) {
        const MenuNode& menu = *submenus(root)[std::size_t(fan)];
        EXPECT_TRUE(menu.label().contains(q(speedText(emulatedRPM(*emu, fan)))))
            << menu.label().toStdString();
        EXPECT_TRUE(menu.label().endsWith(q(Texts::automaticTarget))) << menu.label().toStdString();
        const MenuNode* autoEntry = menu.find(q(Texts::automaticTarget));
        ASSERT_NE(autoEntry, nullptr);
        EXPECT_EQ(autoEntry->toggleState(), 1);
        // "自动", a separator, then the speeds, none checked.
        ASSERT_GE(menu.children.size(), 4u);
        for (std::size_t i = 2; i < menu.children.size(); ++i)
            EXPECT_EQ(menu.children[i].toggleState(), 0) << menu.children[i].label().toStdString();
    }

    // The sensors' submenu crosses the bus as plain entries, filled when the menu opens.
    ASSERT_TRUE(host->aboutToShow(0));
    const MenuNode opened = layout();
    const MenuNode* sensors = opened.find(q(Texts::sensorMenuTitle));
    ASSERT_NE(sensors, nullptr);
    EXPECT_TRUE(sensors->isSubmenu());
    ASSERT_GE(sensors->children.size(), 2u);
    EXPECT_TRUE(sensors->children.front().label().startsWith("TA0P"))
        << sensors->children.front().label().toStdString();
    EXPECT_EQ(blankEntries(opened), 0);
    ASSERT_TRUE(host->event(0, "closed"));

    for (int fan = 0; fan < 2; ++fan) {
        SCOPED_TRACE("fan " + std::to_string(fan));
        // The host opens the menu and the fan's submenu, and the user picks the top speed.
        ASSERT_TRUE(host->aboutToShow(0));
        MenuNode menu = fanMenu(fan);
        ASSERT_TRUE(host->aboutToShow(menu.id));
        const MenuNode& top = menu.children.back();
        const std::string maxText = top.label().toStdString();
        const int speed = std::stoi(maxText.substr(0, maxText.find(' ')));
        ASSERT_TRUE(host->event(top.id, "clicked"));
        EXPECT_TRUE(
            logged(servedLine(protocol::setRequest(fan, speed), protocol::Reply::set(fan, speed))))
            << tmp->read(kLog);
        EXPECT_TRUE(waitUntil([&] { return forcedAtMaximum(fan); }));

        // While open, the title follows the fan as it speeds up, and the check the fan's state.
        emu->control("clock step 30");
        // The title after the fan's name.
        auto titled = [&](const std::string& rpmText, const std::string& target) {
            const QString label = fanMenu(fan).label();
            return label.endsWith(q(fanMenuTitle("", rpmText, target))) &&
                   !label.startsWith(q(Texts::fanMenuSeparator));
        };
        EXPECT_TRUE(waitUntil([&] { return titled(speedText(emulatedRPM(*emu, fan)), maxText); }))
            << fanMenu(fan).label().toStdString();
        menu = fanMenu(fan);
        EXPECT_EQ(menu.find(q(maxText))->toggleState(), 1);
        EXPECT_EQ(menu.find(q(Texts::automaticTarget))->toggleState(), 0);
        // The menu closes, then the user's "自动" arrives: the fan is handed back.
        ASSERT_TRUE(host->event(0, "closed"));
        ASSERT_TRUE(host->event(menu.find(q(Texts::automaticTarget))->id, "clicked"));
        EXPECT_TRUE(logged(servedLine(protocol::autoRequest(fan), protocol::Reply::autoFan(fan))))
            << tmp->read(kLog);
        EXPECT_TRUE(waitUntil([&] { return automatic(fan); }));

        // Closed, the title holds its figures while the fan slows down; opening shows them.
        const QString held = fanMenu(fan).label();
        emu->control("clock step 30");
        const std::string slow = speedText(emulatedRPM(*emu, fan));
        ASSERT_FALSE(held.contains(q(slow))) << "the fan did not slow down";
        std::this_thread::sleep_for(1500ms);  // three refreshes
        EXPECT_EQ(fanMenu(fan).label(), held);
        EXPECT_TRUE(waitUntil([&] {
            return host->aboutToShow(0) && titled(slow, Texts::automaticTarget);
        })) << fanMenu(fan).label().toStdString();
        ASSERT_TRUE(host->event(0, "closed"));
    }

    // The left click opens a menu: under X at the pointer; under Wayland where the
    // compositor puts it.
    const QImage before = weston ? weston->screenshot() : QImage();
    ASSERT_TRUE(host->activate(500, 5));
    if (desktop) {
        EXPECT_TRUE(waitUntil([&] { return desktop->popupWindow(app).has_value(); }))
            << "no menu after the left click";
        ASSERT_TRUE(desktop->key("Escape"));
        EXPECT_TRUE(waitUntil([&] { return !desktop->popupWindow(app); }));
    } else {
        ASSERT_FALSE(before.isNull()) << tmp->read("/tmp/screenshooter.log");
        QImage after;
        EXPECT_TRUE(waitUntil([&] {
            after = weston->screenshot();
            return changedShare(before, after) > 0.03;
        })) << "no menu on the screen after the left click";
        after.save(QDir(kShots).filePath("sni-left-click-" + tag + ".png"));
    }
    EXPECT_FALSE(appExited());
    root = layout();
    EXPECT_EQ(submenus(root).size(), 2u);

    const MenuNode* quit = root.find(q(Texts::quitApp));
    ASSERT_NE(quit, nullptr);
    ASSERT_TRUE(host->event(quit->id, "clicked"));
    ASSERT_TRUE(waitUntil([&] { return appExited(); }, 30s)) << "the application did not end";
    EXPECT_TRUE(WIFEXITED(*appStatus) && WEXITSTATUS(*appStatus) == 0) << *appStatus;
}

INSTANTIATE_TEST_SUITE_P(Desktops, SniTrayTest,
                         ::testing::Values(SniCase{machines::modeKeys, "xcb"},
                                           SniCase{machines::raisedMinimum, "xcb"},
                                           SniCase{machines::modeKeys, "wayland"},
                                           SniCase{machines::raisedMinimum, "wayland"}),
                         [](const ::testing::TestParamInfo<SniCase>& info) {
                             return machines::familyName(info.param.profile) +
                                    (std::string(info.param.platform) == "xcb" ? "X11" : "Wayland");
                         });
