#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QMenu>

#include "AppFixture.h"
#include "FanMenu.h"
#include "Formatting.h"
#include "Texts.h"

using namespace std::chrono_literals;

namespace {

FanLiveInfo reading(double current, std::optional<double> target) {
    FanLiveInfo info;
    info.name = "Left";
    info.currentRPM = current;
    info.minRPM = 2000;
    info.maxRPM = 6000;
    info.forced = target.has_value();
    info.targetRPM = target;
    return info;
}

// The submenu's entries: "(x) label" for a checked one, "( ) label" otherwise; "---".
std::vector<std::string> entries(const FanMenu& fan) {
    std::vector<std::string> lines;
    for (QAction* action : fan.menu()->actions()) {
        if (action->isSeparator()) {
            lines.push_back("---");
            continue;
        }
        lines.push_back((action->isChecked() ? "(x) " : "( ) ") + action->text().toStdString());
    }
    return lines;
}

QAction* entry(const FanMenu& fan, const QString& text) {
    for (QAction* action : fan.menu()->actions()) {
        if (action->text() == text) return action;
    }
    return nullptr;
}

}  // namespace

TEST(FanMenu, SpeedsOffered) {
    using V = std::vector<std::int64_t>;
    EXPECT_EQ(fanMenuSpeeds(2000, 6000, std::nullopt), (V{2000, 3000, 4000, 5000, 6000}));
    // Inner steps in hundreds; limits narrowed inward to whole numbers.
    EXPECT_EQ(fanMenuSpeeds(1199.5, 5700.9, std::nullopt), (V{1200, 2300, 3500, 4600, 5700}));
    // Limits closer than two hundreds: steps rounded past either limit are kept at it.
    EXPECT_EQ(fanMenuSpeeds(1250, 1300, std::nullopt), (V{1250, 1300}));
    EXPECT_EQ(fanMenuSpeeds(1210, 1290, std::nullopt), (V{1210, 1290}));
    // A target that is none of them joins them in order; one that is, does not repeat.
    EXPECT_EQ(fanMenuSpeeds(2000, 6000, 3480), (V{2000, 3000, 3480, 4000, 5000, 6000}));
    EXPECT_EQ(fanMenuSpeeds(2000, 6000, 4000), (V{2000, 3000, 4000, 5000, 6000}));
    // Limits a sensor should not give offer nothing of their own.
    EXPECT_EQ(fanMenuSpeeds(std::nan(""), -1, std::nullopt), V{});
    EXPECT_EQ(fanMenuSpeeds(2000, std::nan(""), 2500), (V{2000, 2500}));
    EXPECT_EQ(fanMenuSpeeds(3000, 3000, std::nullopt), V{3000});
}

// The titles byte for byte.
TEST(FanMenu, TitleAndChecksFollowTheReadingsWhileShown) {
    RecordingDelegate delegate;
    ManualQueue queue;
    FanMenu fan(0, &delegate, queue, nullptr);
    fan.update(reading(2150.7, std::nullopt));
    EXPECT_EQ(fan.menu()->title(), "Left  2150 RPM  自动");
    EXPECT_EQ(entries(fan),
              (std::vector<std::string>{"(x) 自动", "---", "( ) 2000 RPM", "( ) 3000 RPM",
                                        "( ) 4000 RPM", "( ) 5000 RPM", "( ) 6000 RPM"}));

    // Closed: later readings wait for the menu to open.
    fan.update(reading(3300, 3480));
    EXPECT_EQ(fan.menu()->title(), "Left  2150 RPM  自动");
    fan.setShown(true);
    EXPECT_EQ(fan.menu()->title(), "Left  3300 RPM  → 3480 RPM");
    EXPECT_EQ(entries(fan), (std::vector<std::string>{
                                "( ) 自动", "---", "( ) 2000 RPM", "( ) 3000 RPM", "(x) 3480 RPM",
                                "( ) 4000 RPM", "( ) 5000 RPM", "( ) 6000 RPM"}));
    // A click on another speed drops the target's own entry, the clicked one among them.
    entry(fan, "5000 RPM")->trigger();
    EXPECT_EQ(entry(fan, "3480 RPM"), nullptr);
    EXPECT_TRUE(entry(fan, "5000 RPM")->isChecked());
    QCoreApplication::processEvents();
    queue.advance(FanRowLogic::gracePeriod);

    // Open: every reading shows. A target beyond the limits is offered at the limit.
    fan.update(reading(5990, 7000));
    EXPECT_EQ(fan.menu()->title(), "Left  5990 RPM  → 7000 RPM");
    EXPECT_EQ(entries(fan).back(), "(x) 6000 RPM");
    EXPECT_EQ(entries(fan).size(), 7u);
}

// A choice takes the row's path: "自动" at once, a speed after the row's write delay; for
// the grace period readings leave the choice on screen, then the fan's state shows again.
TEST(FanMenu, ChoicesTakeTheRowsWritePath) {
    RecordingDelegate delegate;
    ManualQueue queue;
    FanMenu fan(1, &delegate, queue, nullptr);
    fan.setShown(true);
    fan.update(reading(2000, std::nullopt));

    entry(fan, "5000 RPM")->trigger();
    EXPECT_EQ(fan.menu()->title(), "Left  2000 RPM  → 5000 RPM");
    EXPECT_TRUE(delegate.speeds.empty());
    queue.advance(FanRowLogic::writeDelay);
    EXPECT_EQ(delegate.speeds, (std::vector<std::pair<std::int64_t, std::int64_t>>{{1, 5000}}));
    EXPECT_TRUE(delegate.modes.empty());

    fan.update(reading(2100, std::nullopt));  // the write has not taken effect yet
    EXPECT_EQ(fan.menu()->title(), "Left  2100 RPM  → 5000 RPM");
    EXPECT_TRUE(entry(fan, "5000 RPM")->isChecked());
    queue.advance(FanRowLogic::gracePeriod);
    fan.update(reading(2100, std::nullopt));  // it never did
    EXPECT_EQ(fan.menu()->title().toStdString(),
              fanMenuTitle("Left", speedText(2100), Texts::automaticTarget));
    EXPECT_TRUE(entry(fan, Texts::automaticTarget)->isChecked());
    EXPECT_FALSE(entry(fan, "5000 RPM")->isChecked());

    // "自动" again, while automatic: asked for all the same, and stays checked.
    entry(fan, Texts::automaticTarget)->trigger();
    EXPECT_EQ(delegate.modes, (std::vector<std::pair<std::int64_t, bool>>{{1, false}}));
    EXPECT_TRUE(entry(fan, Texts::automaticTarget)->isChecked());
    EXPECT_EQ(delegate.speeds.size(), 1u);
}
