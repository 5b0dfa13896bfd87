#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QSlider>
#include <QTest>
#include <cmath>
#include <vector>

#include "AppFixture.h"
#include "FanRowView.h"
#include "Texts.h"

using namespace std::chrono_literals;

namespace {

FanLiveInfo forcedAt(double target, double min, double max) {
    FanLiveInfo info;
    info.name = "Fan 0";
    info.currentRPM = target;
    info.minRPM = min;
    info.maxRPM = max;
    info.forced = true;
    info.targetRPM = target;
    return info;
}

}  // namespace

// The fresh row's look, its texts byte for byte.
TEST(FanRowView, FreshRowLayoutAndLook) {
    RecordingDelegate delegate;
    FanRowView row(0, &delegate);
    EXPECT_EQ(row.size(), QSize(300, 58));
    EXPECT_EQ(row.nameLabel->text(), "Fan");
    EXPECT_EQ(row.rpmLabel->text(), "-- RPM");
    EXPECT_EQ(row.modeButton->text(), "手动");
    EXPECT_FALSE(row.modeButton->isChecked());
    EXPECT_EQ(row.slider->value(), 3000);
    EXPECT_EQ(row.slider->minimum(), 2000);
    EXPECT_EQ(row.slider->maximum(), 6000);
    EXPECT_EQ(row.targetLabel->text(), "自动");

    // Frames given from the lower left, placed from the top left.
    EXPECT_EQ(row.nameLabel->geometry(), QRect(12, 4, 130, 18));
    EXPECT_EQ(row.rpmLabel->geometry(), QRect(130, 4, 100, 18));
    EXPECT_EQ(row.modeButton->geometry(), QRect(234, 3, 56, 22));
    EXPECT_EQ(row.slider->geometry(), QRect(12, 30, 210, 24));
    EXPECT_EQ(row.targetLabel->geometry(), QRect(228, 34, 62, 16));

    EXPECT_EQ(row.nameLabel->font().pixelSize(), 12);
    EXPECT_EQ(row.nameLabel->font().weight(), QFont::DemiBold);
    EXPECT_EQ(row.rpmLabel->font().pixelSize(), 12);
    EXPECT_EQ(row.targetLabel->font().pixelSize(), 11);
    EXPECT_TRUE(row.targetLabel->alignment() & Qt::AlignRight);
    EXPECT_LT(row.rpmLabel->palette().color(QPalette::WindowText).alphaF(), 1.0);
}

TEST(FanRowView, UserClicksAndDragsReachTheDelegate) {
    ManualQueue queue;
    RecordingDelegate delegate;
    FanRowView row(1, &delegate, queue);
    row.update(forcedAt(2500, 1200, 5700));
    queue.advance(2s);

    QTest::mouseClick(row.modeButton, Qt::LeftButton);
    EXPECT_EQ(row.targetLabel->text(), Texts::automaticTarget);
    EXPECT_FALSE(row.slider->isEnabled());
    QTest::mouseClick(row.modeButton, Qt::LeftButton);
    EXPECT_EQ(row.targetLabel->text(), "2500 RPM");
    EXPECT_EQ(delegate.modes, (std::vector<std::pair<std::int64_t, bool>>{{1, false}, {1, true}}));

    // The user drags: the slider reports every position, the delegate hears the last one.
    for (int rpm = 2600; rpm <= 3400; rpm += 100) {
        row.slider->setValue(rpm);
        queue.advance(50ms);
    }
    EXPECT_EQ(row.targetLabel->text(), "3400 RPM");
    EXPECT_TRUE(delegate.speeds.empty());
    queue.advance(200ms);
    EXPECT_EQ(delegate.speeds, (std::vector<std::pair<std::int64_t, std::int64_t>>{{1, 3400}}));

    // Readings moving the controls are not taken for the user's actions.
    queue.advance(2s);
    row.update(forcedAt(4100, 1300, 6200));
    FanLiveInfo automatic = forcedAt(4100, 1300, 6200);
    automatic.forced = false;
    queue.advance(2s);
    row.update(automatic);
    queue.advance(2s);
    EXPECT_EQ(delegate.modes.size(), 2u);
    EXPECT_EQ(delegate.speeds.size(), 1u);
}

TEST(FanRowView, DeletedDelegateIsNotCalled) {
    ManualQueue queue;
    auto* delegate = new RecordingDelegate;
    FanRowView row(0, delegate, queue);
    row.update(forcedAt(2500, 1200, 5700));
    queue.advance(2s);
    row.slider->setValue(3000);  // a write is pending when the delegate goes
    delete delegate;
    EXPECT_TRUE(row.delegate.isNull());
    QTest::mouseClick(row.modeButton, Qt::LeftButton);
    queue.advance(1s);
    EXPECT_EQ(row.targetLabel->text(), Texts::automaticTarget);
}

TEST(FanRowView, FractionalAndAbsurdLimitsMapOntoTheIntegerSlider) {
    ManualQueue queue;
    RecordingDelegate delegate;
    FanRowView row(0, &delegate, queue);

    // Narrowed inward, so every position is within the fan's limits.
    row.update(forcedAt(1199.9, 1199.75, 5700.5));
    EXPECT_EQ(row.slider->minimum(), 1200);
    EXPECT_EQ(row.slider->maximum(), 5700);
    EXPECT_EQ(row.slider->value(), 1200);
    EXPECT_EQ(row.sliderMinimumRPM(), 1199.75);
    EXPECT_EQ(row.targetLabel->text(), "1199 RPM");

    // A range narrower than one step collapses onto its minimum.
    row.update(forcedAt(2000.6, 2000.5, 2000.7));
    EXPECT_EQ(row.slider->minimum(), 2001);
    EXPECT_EQ(row.slider->maximum(), 2001);

    // Readings no fan gives still leave a usable slider.
    row.update(forcedAt(1e30, std::nan(""), 1e30));
    EXPECT_EQ(row.slider->minimum(), 0);
    EXPECT_EQ(row.slider->maximum(), 1'000'000'000);
    EXPECT_TRUE(delegate.speeds.empty());
    EXPECT_TRUE(delegate.modes.empty());
}
