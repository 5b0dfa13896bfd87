// One fan's row in the menu: name, speed, a "手动" checkbox and a speed slider with its
// target text. Shown in the menu through a QWidgetAction; it keeps receiving clicks and
// drags while the menu stays open.
#pragma once

#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <string>

#include "FanController.h"
#include "FanRowLogic.h"
#include "MainQueue.h"

class QCheckBox;
class QLabel;
class QMouseEvent;
class QSlider;

// Receives a row's user actions. The row holds its delegate weakly (a QPointer), so a
// delegate that has been deleted is simply not called.
class FanRowDelegate : public QObject {
  public:
    using QObject::QObject;
    // The user switched the fan to manual (true) or back to automatic (false).
    virtual void manualModeChanged(std::int64_t fan, bool manual) = 0;
    // The user settled the slider on rpm (debounced).
    virtual void sliderChanged(std::int64_t fan, std::int64_t rpm) = 0;
    // Asked before either change is passed on; false drops it. Every change by default.
    virtual bool confirmChange(std::int64_t fan) {
        (void)fan;
        return true;
    }
};

// Callouts that pass a fan's row or submenu choices on to `delegate`, looked at on each call
// (the pointer is the caller's member, which outlives its FanRowLogic).
FanRowCallouts forwardingTo(const QPointer<FanRowDelegate>& delegate);

class FanRowView : public QWidget, private FanRowControls {
  public:
    // Size and the subviews' frames in points, origin at the top left.
    static constexpr int rowWidth = 300;
    static constexpr int rowHeight = 58;

    FanRowView(std::int64_t fan, FanRowDelegate* delegate, MainQueue& queue = mainQueue(),
               QWidget* parent = nullptr);

    using QWidget::update;  // keep the repaint overloads reachable
    // Shows one reading (see FanRowLogic::update).
    void update(const FanLiveInfo& live);
    // How the control daemon runs the fan, shown in place of the target and as the row's
    // tooltip; empty: it does not (see FanRowLogic::setStanding).
    void setStanding(const std::string& note);
    void modeAction();
    void sliderAction();

    const std::int64_t fan;
    QPointer<FanRowDelegate> delegate;
    QLabel* nameLabel;
    QLabel* rpmLabel;
    QCheckBox* modeButton;
    QSlider* slider;
    QLabel* targetLabel;
    // lastUserEdit, pendingWrite, lastRPMText and lastTargetText live here.
    FanRowLogic logic;

    // The slider limits as last given, before they are narrowed to whole numbers.
    double sliderMinimumRPM() const { return sliderMin_; }
    // How many times a reading or an action has changed one of the subviews.
    int widgetWrites() const { return widgetWrites_; }
    double sliderMaximumRPM() const { return sliderMax_; }

  protected:
    // Clicks on the row's background are taken here, so the menu does not treat them
    // as choosing the row and close.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    int widgetWrites_ = 0;
    std::string nameText() const override;
    void setNameText(const std::string& text) override;
    void setRPMText(const std::string& text) override;
    bool isManualChecked() const override;
    void setManualChecked(bool checked) override;
    double sliderMinimum() const override { return sliderMin_; }
    void setSliderMinimum(double value) override;
    double sliderMaximum() const override { return sliderMax_; }
    void setSliderMaximum(double value) override;
    bool isSliderEnabled() const override;
    void setSliderEnabled(bool enabled) override;
    double sliderValue() const override;
    void setSliderValue(double value) override;
    std::string targetText() const override;
    void setTargetText(const std::string& text) override;

    void applySliderRange();
    // The target label as wide as its text needs (up to a limit, past which the text is
    // cut short), the slider giving up the room.
    void layoutTarget();

    std::string target_;  // the whole text, however it is shown
    double sliderMin_ = 2000;
    double sliderMax_ = 6000;
};

// The integer slider position for a speed: the fraction dropped, NaN as 0, and values
// beyond ±1e9 saturated (no fan turns that fast; it keeps the conversion defined).
int sliderPosition(double rpm);
