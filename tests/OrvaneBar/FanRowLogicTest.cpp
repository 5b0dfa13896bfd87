#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "FanRowLogic.h"
#include "ManualQueue.h"
#include "Texts.h"

using namespace std::chrono_literals;

namespace {

// The row's controls as plain values, counting every write.
struct FakeControls : FanRowControls {
    std::string name = Texts::fanRowInitialName, rpm = Texts::fanRowInitialRPM,
                target = Texts::automaticTarget;
    bool checked = false, enabled = true;
    double min = 2000, max = 6000, value = 3000;
    int writes = 0;

    std::string nameText() const override { return name; }
    void setNameText(const std::string& t) override { name = t, ++writes; }
    void setRPMText(const std::string& t) override { rpm = t, ++writes; }
    bool isManualChecked() const override { return checked; }
    void setManualChecked(bool c) override { checked = c, ++writes; }
    double sliderMinimum() const override { return min; }
    void setSliderMinimum(double v) override { min = v, ++writes; }
    double sliderMaximum() const override { return max; }
    void setSliderMaximum(double v) override { max = v, ++writes; }
    bool isSliderEnabled() const override { return enabled; }
    void setSliderEnabled(bool e) override { enabled = e, ++writes; }
    double sliderValue() const override { return value; }
    void setSliderValue(double v) override { value = v; }  // set on every update by design
    std::string targetText() const override { return target; }
    void setTargetText(const std::string& t) override { target = t, ++writes; }
};

FanLiveInfo live(double current, bool forced, std::optional<double> target = std::nullopt,
                 double min = 1200, double max = 5700) {
    FanLiveInfo info;
    info.index = 1;
    info.name = "Exhaust";
    info.currentRPM = current;
    info.minRPM = min;
    info.maxRPM = max;
    info.forced = forced;
    info.targetRPM = target;
    return info;
}

class FanRowLogicTest : public ::testing::Test {
  protected:
    FakeControls controls;
    ManualQueue queue;
    std::vector<std::pair<std::int64_t, bool>> modeCalls;
    std::vector<std::pair<std::int64_t, std::int64_t>> sliderCalls;
    std::unique_ptr<FanRowLogic> row = makeRow();

    std::unique_ptr<FanRowLogic> makeRow() {
        return std::make_unique<FanRowLogic>(1, controls, queue,
                                             FanRowCallouts{
                                                 .manualModeChanged =
                                                     [this](std::int64_t f, bool m) {
                                                         modeCalls.push_back({f, m});
                                                     },
                                                 .sliderChanged =
                                                     [this](std::int64_t f, std::int64_t r) {
                                                         sliderCalls.push_back({f, r});
                                                     },
                                                 .confirmChange = {},
                                             });
    }
};

}  // namespace

TEST_F(FanRowLogicTest, AutomaticFan) {
    controls.checked = true;
    controls.target = "2400 RPM";
    row->update(live(1234.9, false));
    EXPECT_EQ(controls.name, "Exhaust");
    EXPECT_EQ(controls.rpm, "1234 RPM");
    EXPECT_FALSE(controls.checked);
    EXPECT_FALSE(controls.enabled);
    EXPECT_EQ(controls.min, 1200);
    EXPECT_EQ(controls.max, 5700);
    EXPECT_EQ(controls.value, 1200);
    EXPECT_EQ(controls.target, Texts::automaticTarget);
}

TEST_F(FanRowLogicTest, ForcedFanFollowsTargetClampedWhileTheLabelShowsItUnclamped) {
    row->update(live(3000, true, 3480));
    EXPECT_TRUE(controls.checked);
    EXPECT_TRUE(controls.enabled);
    EXPECT_EQ(controls.value, 3480);
    EXPECT_EQ(controls.target, "3480 RPM");

    row->update(live(1600, true, 1500, 2000, 6000));
    EXPECT_EQ(controls.value, 2000);
    EXPECT_EQ(controls.target, "1500 RPM");

    row->update(live(5000, true, 7000.6, 2000, 6000));
    EXPECT_EQ(controls.value, 6000);
    EXPECT_EQ(controls.target, "7000 RPM");

    // Without a target reading the current speed stands in.
    row->update(live(2765.4, true));
    EXPECT_EQ(controls.value, 2765.4);
    EXPECT_EQ(controls.target, "2765 RPM");
}

TEST_F(FanRowLogicTest, RepeatedReadingsWriteNothingAgain) {
    row->update(live(2000, true, 2500));
    const int afterFirst = controls.writes;
    row->update(live(2000, true, 2500));
    EXPECT_EQ(controls.writes, afterFirst);

    row->update(live(2000, false));
    const int afterAuto = controls.writes;
    row->update(live(2000, false));
    EXPECT_EQ(controls.writes, afterAuto);

    // A limit that reads as NaN is not rewritten on every tick either.
    row->update(live(2000, false, std::nullopt, std::nan(""), 5700));
    const int afterNaN = controls.writes;
    row->update(live(2000, false, std::nullopt, std::nan(""), 5700));
    EXPECT_EQ(controls.writes, afterNaN);
}

TEST_F(FanRowLogicTest, GracePeriodKeepsControlsForOneAndAHalfSeconds) {
    row->update(live(2000, false));
    controls.checked = true;  // the user ticks the box
    row->modeAction();

    queue.advance(1499ms);
    row->update(live(2100, false, std::nullopt, 1300, 5800));
    EXPECT_EQ(controls.rpm, "2100 RPM");
    EXPECT_TRUE(controls.checked);
    EXPECT_TRUE(controls.enabled);
    EXPECT_EQ(controls.min, 1200);
    EXPECT_EQ(controls.target, "1200 RPM");

    queue.advance(1ms);  // exactly 1.5 s after the edit
    row->update(live(2100, false, std::nullopt, 1300, 5800));
    EXPECT_FALSE(controls.checked);
    EXPECT_FALSE(controls.enabled);
    EXPECT_EQ(controls.min, 1300);
    EXPECT_EQ(controls.target, Texts::automaticTarget);
}

TEST_F(FanRowLogicTest, EditWithoutEffectIsUndoneAfterTheGracePeriod) {
    row->update(live(3000, true, 3000));

    controls.checked = false;  // the user unticks; the fan stays forced
    row->modeAction();
    queue.advance(1500ms);
    row->update(live(3000, true, 3000));
    EXPECT_TRUE(controls.checked);
    EXPECT_EQ(controls.target, "3000 RPM");

    controls.value = 3400;  // the user drags; the fan keeps its target
    row->sliderAction();
    queue.advance(1500ms);
    row->update(live(3000, true, 3000));
    EXPECT_EQ(controls.value, 3000);
    EXPECT_EQ(controls.target, "3000 RPM");
}

TEST_F(FanRowLogicTest, CheckboxReachesTheCalloutWithItsTexts) {
    controls.value = 2750;
    controls.checked = true;
    row->modeAction();
    EXPECT_TRUE(controls.enabled);
    EXPECT_EQ(controls.target, "2750 RPM");

    controls.checked = false;
    row->modeAction();
    EXPECT_FALSE(controls.enabled);
    EXPECT_EQ(controls.target, Texts::automaticTarget);

    EXPECT_EQ(modeCalls, (std::vector<std::pair<std::int64_t, bool>>{{1, true}, {1, false}}));
}

TEST_F(FanRowLogicTest, SliderBurstSendsOneWriteAQuarterSecondAfterTheLastMove) {
    // A drag of two seconds with a move every 50 ms.
    for (int step = 0; step <= 40; ++step) {
        controls.value = 2000 + step * 50 + 0.75;
        row->sliderAction();
        EXPECT_EQ(controls.target, std::to_string(2000 + step * 50) + " RPM");
        queue.advance(50ms);
    }
    EXPECT_TRUE(sliderCalls.empty());
    queue.advance(199ms);  // 249 ms after the last move
    EXPECT_TRUE(sliderCalls.empty());
    queue.advance(1ms);
    EXPECT_EQ(sliderCalls, (std::vector<std::pair<std::int64_t, std::int64_t>>{{1, 4000}}));

    // A checkbox click meanwhile does not cancel a pending write.
    controls.value = 3100;
    row->sliderAction();
    row->modeAction();
    queue.advance(250ms);
    EXPECT_EQ(sliderCalls.back(), (std::pair<std::int64_t, std::int64_t>{1, 3100}));
}

TEST_F(FanRowLogicTest, WriteDueAfterTheRowIsGoneDoesNothing) {
    row->sliderAction();
    row.reset();
    queue.advance(1s);
    EXPECT_TRUE(sliderCalls.empty());
}
