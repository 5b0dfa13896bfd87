// The tray application on a real X desktop: Xvfb, an XEmbed tray host, the SMC emulator,
// the control daemon running as root and the built OrvaneBar, all in a private /tmp, /run
// and /var/log. What is checked comes from the X server itself (its window tree and its
// screen) and from the emulator's keys and the daemon's log, never from the application.
//
// Where to click is worked out from a twin: the same menu built in this process on the
// offscreen platform, on the same emulated machine. The real menu window must have the
// twin's size, so the twin's layout is the real one's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QMenu>
#include <QPainter>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "../../orvtool/serve/ServeTexts.h"
#include "../OrvaneBar/AppFixture.h"
#include "ControlProtocol.h"
#include "Formatting.h"
#include "LeakCheck.h"
#include "Paths.h"
#include "PrivateTmp.h"
#include "StatusItem.h"
#include "Texts.h"
#include "XDesktop.h"

using namespace std::chrono_literals;

namespace {

const QString kShots = QStringLiteral(ORVANE_BINARY_DIR "/desktop-shots");

// How far two pictures of the same size are apart: the mean absolute difference of their
// colour channels, 0 to 255.
double distance(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.isNull()) return 255;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q));
        }
    }
    return sum / (3.0 * a.width() * a.height());
}

// What a tray icon window of `size` shows for `title`: the application's own picture of the
// title at the largest square that fits, centred on the tray's background.
QImage expectedIcon(const QString& title, QSize size, QRgb background) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(background);
    const int side = std::min(size.width(), size.height());
    QPainter painter(&image);
    painter.drawPixmap((size.width() - side) / 2, (size.height() - side) / 2,
                       StatusItem::renderTitle(title, side));
    return image;
}

// The title, among every one from "0.0k" to "9.9k", that a picture of the icon is closest
// to; with its distance and the next closest one's.
struct Reading {
    std::string title;
    double best = 255;
    double next = 255;
};

Reading readTitle(const QImage& icon) {
    Reading reading;
    const QRgb background = icon.pixel(0, 0);  // a corner is outside the rounded badge
    for (int tenths = 0; tenths < 100; ++tenths) {
        const std::string title = statusTitle(tenths * 100.0);
        const double d =
            distance(icon, expectedIcon(QString::fromStdString(title), icon.size(), background));
        if (d < reading.best) {
            reading.next = reading.best;
            reading.best = d;
            reading.title = title;
        } else if (d < reading.next) {
            reading.next = d;
        }
    }
    return reading;
}

std::ostream& operator<<(std::ostream& out, const Reading& r) {
    return out << "\"" << r.title << "\" (distance " << r.best << ", next " << r.next << ")";
}

// How many different colours a picture has.
int colourCount(const QImage& image) {
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            colours.insert(image.pixel(x, y));
    }
    return int(colours.size());
}

// The centre of a slider's handle at `value`, in the slider's coordinates.
QPoint handleCentre(const QSlider& slider, int value) {
    QStyleOptionSlider option;
    option.initFrom(&slider);
    option.orientation = slider.orientation();
    option.minimum = slider.minimum();
    option.maximum = slider.maximum();
    option.sliderPosition = value;
    option.sliderValue = value;
    option.singleStep = slider.singleStep();
    option.pageStep = slider.pageStep();
    option.tickPosition = slider.tickPosition();
    option.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
    return slider.style()
        ->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, &slider)
        .center();
}

}  // namespace

class TrayDesktopTest : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp needs root";
        ASSERT_TRUE(QDir().mkpath(kShots));
        tmp = std::make_unique<PrivateTmp>();
        ASSERT_TRUE(tmp->ok()) << tmp->error();
        desktop = std::make_unique<XDesktop>(*tmp);
        ASSERT_TRUE(desktop->ok()) << desktop->error();
    }

    void TearDown() override {
        if (HasFailure() && tmp && tmp->ok()) {
            for (const char* log : {"/tmp/app.log", "/tmp/daemon.out", "/tmp/trayer.log"})
                std::fprintf(stderr, "--- %s\n%s", log, tmp->read(log).c_str());
        }
        twin.reset();
        AppFixture::TearDown();
    }

    // The emulated machine with its clock stopped (speeds hold until the test moves it on),
    // the daemon as root, then the application as it starts on a desktop; returns when its
    // icon is in the tray.
    void startSession(const std::string& profile) {
        startMachine(profile, true);
        daemon = startDaemonInside(*tmp, "/tmp/daemon.out");
        ASSERT_GT(daemon, 0);

        ::mkdir(tmp->path("/tmp/home").c_str(), 0700);
        ::mkdir(tmp->path("/tmp/runtime").c_str(), 0700);
        std::vector<std::string> environment{"QT_QPA_PLATFORM=xcb", "HOME=/tmp/home",
                                             "XDG_RUNTIME_DIR=/tmp/runtime"};
        for (const std::string& entry : leakCheckEnvironment())
            environment.push_back(entry);
        app =
            tmp->start(appCommandLine(environment, {"DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY"}),
                       "/tmp/app.log");
        ASSERT_GT(app, 0);
        // The tray host shows a new icon before it has grown its panel around it: the icon
        // is where a click finds it once the panel, on the screen, holds it whole.
        ASSERT_TRUE(waitUntil([&] {
            icon = desktop->embeddedWindow(app, desktop->trayPid());
            tray = desktop->trayArea();
            return (icon && tray && desktop->screen().contains(*tray) && tray->contains(*icon)) ||
                   appExited();
        })) << "no icon of the application in the tray";
        ASSERT_TRUE(icon.has_value()) << "the application ended: " << tmp->read("/tmp/app.log");
        makeTwin();
    }

    // Ends what startSession started (the application only if it is still running).
    void endSession() {
        twin.reset();
        if (!appExited()) {
            ::kill(app, SIGKILL);
            ::waitpid(app, nullptr, 0);
        }
        if (daemon > 0) {
            ::kill(daemon, SIGTERM);
            ::waitpid(daemon, nullptr, 0);
            daemon = -1;
        }
        emu.reset();
        // The next session's icon must not be laid out beside this one's, and then move.
        EXPECT_TRUE(waitUntil([&] {
            const std::optional<QRect> now = desktop->trayArea();
            return !tray || !now || now->width() < tray->width();
        })) << "the tray keeps the ended application's icon";
    }

    bool appExited() {
        if (appStatus) return true;
        int status = 0;
        if (::waitpid(app, &status, WNOHANG) != app) return false;
        appStatus = status;
        return true;
    }

    // The menu built in this process on the same machine, open at the screen's origin.
    void makeTwin() {
        AppDelegate::Seams s = seams();
        s.controller.recordPath = tmp->path(paths::kMinimumRecordPath);
        s.fanSubmenus = false;  // the rows the XEmbed tray shows
        twin = launch(std::move(s), true);
        twin->menu()->popup(QPoint(0, 0));
        QApplication::processEvents();
    }

    // Clicks the icon and waits for the menu window; it must have the twin's size. The
    // click is near the icon's lower edge, below the title's badge: the menu opens at the
    // pointer, and so leaves the title in view.
    QRect openMenu() {
        EXPECT_TRUE(desktop->click(QPoint(icon->center().x(), icon->bottom() - 1)));
        std::optional<QRect> menu;
        EXPECT_TRUE(waitUntil([&] { return (menu = desktop->popupWindow(app)).has_value(); }))
            << "no menu window after a click on the icon";
        if (!menu) return QRect();
        EXPECT_EQ(menu->size(), twin->menu()->size()) << "the real menu is laid out otherwise";
        return *menu;
    }

    // A point of a widget of the twin's menu, on the screen in the real menu at `menu`.
    QPoint onScreen(const QRect& menu, const QWidget* widget, QPoint local) const {
        return menu.topLeft() + widget->mapTo(twin->menu(), local);
    }

    QPoint quitRow(const QRect& menu) const {
        for (QAction* action : twin->menu()->actions()) {
            if (action->text() == QString::fromUtf8(Texts::quitApp))
                return menu.topLeft() + twin->menu()->actionGeometry(action).center();
        }
        ADD_FAILURE() << "no quit entry in the menu";
        return QPoint();
    }

    QImage iconPicture() const { return desktop->grab(*icon); }

    // Waits until the icon on the screen reads `title`.
    ::testing::AssertionResult showsTitle(const std::string& title) {
        Reading last;
        if (waitUntil([&] { return (last = readTitle(iconPicture())).title == title; }, 10s)) {
            // The same picture but for small differences of drawing, and unlike any other.
            if (last.best < 2 && last.best < 0.5 * last.next) return ::testing::AssertionSuccess();
            return ::testing::AssertionFailure()
                   << "the icon reads " << last << ", too close to another title";
        }
        return ::testing::AssertionFailure()
               << "the icon reads " << last << " instead of \"" << title << "\"";
    }

    void save(const QImage& image, const QString& name) const {
        EXPECT_TRUE(image.save(QDir(kShots).filePath(name))) << name.toStdString();
    }

    // The title the application should show: the fastest fan's speed.
    std::string peakTitle() {
        double peak = 0;
        for (int fan = 0; fan < 2; ++fan)
            peak = std::max(peak, emulatedRPM(*emu, fan));
        return statusTitle(peak);
    }

    std::unique_ptr<PrivateTmp> tmp;
    std::unique_ptr<XDesktop> desktop;
    std::unique_ptr<AppDelegate> twin;
    pid_t daemon = -1;
    pid_t app = -1;
    std::optional<int> appStatus;
    std::optional<QRect> icon;
    std::optional<QRect> tray;  // the tray's panel holding the icon
};

// One machine family: fans forced by a mode byte and a target, or by a raised minimum.
struct Family {
    const char* profile;
    int fan0Max;
    const char* forcedKeys;  // fan 0 at its maximum, fan 1 automatic
    const char* automaticKeys;
};

// Names the family in test listings by its profile.
void PrintTo(const Family& family, std::ostream* out) {
    *out << family.profile;
}

class TrayFamilyTest : public TrayDesktopTest, public ::testing::WithParamInterface<Family> {
  protected:
    std::string keys() { return forcingKeys(*emu, machines::hasModeKeys(GetParam().profile)); }
};

// The icon embeds in the tray and shows the fastest fan; its menu drives the fans through
// the daemon, the icon follows, and Quit hands every fan back.
TEST_P(TrayFamilyTest, IconMenuSliderAndQuit) {
    const Family family = GetParam();
    const QString tag = QString(family.profile).remove(".prof");
    ASSERT_NO_FATAL_FAILURE(startSession(family.profile));
    EXPECT_GE(icon->width(), 16);
    EXPECT_GE(icon->height(), 16);
    EXPECT_TRUE(showsTitle(peakTitle()));
    save(desktop->grab(QRect(desktop->screen().width() - 240, 0, 240, 40)), "tray-" + tag + ".png");

    const QRect menu = openMenu();
    ASSERT_FALSE(menu.isEmpty());
    // Drawn, not an empty window: text in several shades on the menu's background.
    EXPECT_TRUE(waitUntil([&] { return colourCount(desktop->grab(menu)) > 20; }));

    // "手动" on fan 0 forces it at the slider's speed; then the slider is dragged from its
    // handle past its right end.
    const std::string log = paths::kLogPath;
    FanRowView* row = twin->fanRows.at(0);
    ASSERT_TRUE(desktop->click(onScreen(menu, row->modeButton, row->modeButton->rect().center())));
    ASSERT_TRUE(waitUntil([&] {
        return tmp->read(log).find(texts::kServeLog + std::string("set 0 ")) != std::string::npos;
    })) << tmp->read(log);
    const QSlider* slider = row->slider;
    const QPoint from = onScreen(menu, slider, handleCentre(*slider, slider->value()));
    const QPoint to = onScreen(menu, slider, QPoint(slider->width() + 30, slider->height() / 2));
    ASSERT_TRUE(desktop->drag(from, to));
    EXPECT_TRUE(waitUntil([&] {
        return tmp->read(log).find(servedLine(protocol::setRequest(0, family.fan0Max),
                                              protocol::Reply::set(0, family.fan0Max)) +
                                   "\n") != std::string::npos;
    })) << tmp->read(log);
    EXPECT_EQ(keys(), family.forcedKeys);
    save(desktop->grab(menu), "menu-" + tag + ".png");
    save(desktop->grab(QRect(menu.left() - 16, 0, desktop->screen().width() - menu.left() + 16,
                             menu.bottom() + 16)),
         "desktop-" + tag + ".png");

    // The fan gets there; the icon, uncovered once the menu is closed, follows it.
    ASSERT_TRUE(desktop->key("Escape"));
    EXPECT_TRUE(waitUntil([&] { return !desktop->popupWindow(app); })) << "the menu stays open";
    emu->control("clock step 30");
    const std::string fast = statusTitle(family.fan0Max);
    ASSERT_EQ(peakTitle(), fast);
    EXPECT_TRUE(showsTitle(fast));
    save(iconPicture().scaled(icon->size() * 4), "icon-" + tag + ".png");

    const QRect again = openMenu();
    ASSERT_FALSE(again.isEmpty());
    ASSERT_TRUE(desktop->click(quitRow(again)));
    ASSERT_TRUE(waitUntil([&] { return appExited(); }, 30s)) << "the application did not end";
    EXPECT_TRUE(WIFEXITED(*appStatus) && WEXITSTATUS(*appStatus) == 0) << *appStatus;
    EXPECT_EQ(keys(), family.automaticKeys);
    EXPECT_NE(tmp->read(log).find(
                  servedLine(protocol::kAutoAllRequest, protocol::Reply::autoAll()) + "\n"),
              std::string::npos)
        << tmp->read(log);
    endSession();
}

INSTANTIATE_TEST_SUITE_P(
    Families, TrayFamilyTest,
    ::testing::Values(Family{machines::modeKeys, 5700, "010020b245 00", "00 00"},
                      Family{machines::raisedMinimum, 6000, "5dc0 1f40", "1f40 1f40"}),
    [](const auto& info) { return machines::familyName(info.param.profile); });

// The menu holds a row per fan: on a two-fan machine its window is one row taller than on
// a one-fan machine.
TEST_F(TrayDesktopTest, MenuGrowsByARowPerFan) {
    std::vector<int> heights;
    for (const char* profile : {machines::oneFan, machines::modeKeys}) {
        ASSERT_NO_FATAL_FAILURE(startSession(profile));
        const QRect menu = openMenu();
        ASSERT_FALSE(menu.isEmpty());
        heights.push_back(menu.height());
        EXPECT_EQ(twin->fanRows.size(), heights.size());
        save(desktop->grab(menu), "menu-" + QString(profile).remove(".prof") + ".png");
        endSession();
        ASSERT_TRUE(waitUntil([&] { return !desktop->popupWindow(app); }));
    }
    EXPECT_EQ(heights[1] - heights[0], FanRowView::rowHeight);
}
