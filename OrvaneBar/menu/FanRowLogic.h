// The behaviour of one fan row, apart from its widgets: what a reading changes on
// screen, the 1.5-second grace period after a user edit, and the 0.25-second debounce
// that collapses a slider drag into one speed request.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "FanController.h"
#include "MainQueue.h"
#include "NonCopyable.h"

// What the row shows and what the user can change; the widget row implements it over
// its label, checkbox and slider. Setters are only called when a value changes.
// Slider positions are doubles here; the widget documents how it maps them to its
// integer slider.
class FanRowControls {
  public:
    virtual ~FanRowControls() = default;
    virtual std::string nameText() const = 0;
    virtual void setNameText(const std::string& text) = 0;
    virtual void setRPMText(const std::string& text) = 0;
    virtual bool isManualChecked() const = 0;
    virtual void setManualChecked(bool checked) = 0;
    virtual double sliderMinimum() const = 0;
    virtual void setSliderMinimum(double value) = 0;
    virtual double sliderMaximum() const = 0;
    virtual void setSliderMaximum(double value) = 0;
    virtual bool isSliderEnabled() const = 0;
    virtual void setSliderEnabled(bool enabled) = 0;
    virtual double sliderValue() const = 0;
    virtual void setSliderValue(double value) = 0;
    virtual std::string targetText() const = 0;
    virtual void setTargetText(const std::string& text) = 0;
};

// Where user actions go; any may be empty. confirmChange is asked before either change is
// passed on: false drops the change, and the row goes back to the fan's reading (empty:
// every change is passed on).
struct FanRowCallouts {
    std::function<void(std::int64_t fan, bool manual)> manualModeChanged;
    std::function<void(std::int64_t fan, std::int64_t rpm)> sliderChanged;
    std::function<bool(std::int64_t fan)> confirmChange;
};

// t limited to [lo, hi]: below lo gives lo, otherwise above hi gives hi.
double clampToLimits(double t, double lo, double hi);

class FanRowLogic : NonCopyable {
  public:
    static constexpr std::chrono::milliseconds gracePeriod{1500};
    static constexpr std::chrono::milliseconds writeDelay{250};

    FanRowLogic(std::int64_t fan, FanRowControls& controls, MainQueue& queue,
                FanRowCallouts callouts);

    // Shows one reading. Name and speed always; the controls only outside the grace period
    // (and while a change waits for its confirmation).
    void update(const FanLiveInfo& live);
    // The fan is run by the control daemon (a curve or a floor): `note` says how and is
    // shown in place of the target; empty: it is not. Shown at once with the last reading.
    void setStanding(const std::string& note);
    const std::string& standing() const { return standing_; }
    // The user clicked the checkbox (its state has already changed).
    void modeAction();
    // The user moved the slider (its value has already changed).
    void sliderAction();

    const std::int64_t fan;
    std::optional<TimePoint> lastUserEdit;  // none: the distant past
    std::shared_ptr<WorkItem> pendingWrite;
    std::string lastRPMText;
    std::string lastTargetText;

  private:
    bool inGracePeriod() const;
    void showUserTarget(const std::string& text);
    // Asks confirmChange; on no, the row shows the last reading again.
    bool confirmed();

    FanRowControls& controls_;
    MainQueue& queue_;
    FanRowCallouts callouts_;
    std::string standing_;
    std::optional<FanLiveInfo> lastLive_;
    bool confirming_ = false;
    // Scheduled writes hold this weakly, so a write due after the row is gone does nothing.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};
