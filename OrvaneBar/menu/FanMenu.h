// One fan as a submenu, for trays whose host draws the menu itself from what the
// application exports over D-Bus (StatusNotifierItem): widgets cannot cross D-Bus, so the
// row's controls become plain entries. The title says what the row says (name, speed,
// "自动" or the target); inside, "自动" and a handful of speeds, checked as the fan stands.
// A choice goes through the row's own rules (FanRowLogic: grace period, debounced speed
// write) to the same delegate, so it takes exactly the row's write path.
//
// Readings are taken on every refresh, but the entries only change while the menu is
// shown: each change is a message to the host, and a closed menu needs none.
#pragma once

#include <QMenu>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FanController.h"
#include "FanRowLogic.h"
#include "FanRowView.h"
#include "MainQueue.h"
#include "NonCopyable.h"

class QAction;
class QActionGroup;
class QWidget;

// The speeds offered for a fan with limits [minRPM, maxRPM]: the limits narrowed inward to
// whole numbers, three evenly spaced steps between them rounded to hundreds, and
// `current` (a forced fan's target) when it is none of these. Ascending, without repeats;
// limits that are not numbers, or below 0, offer nothing of their own.
std::vector<std::int64_t> fanMenuSpeeds(double minRPM, double maxRPM,
                                        std::optional<std::int64_t> current);

// "Left  1999 RPM  自动", or "Left  3480 RPM  → 5700 RPM" for a forced fan, or
// "Left  3480 RPM  按曲线运行（cpu）" when the target's place holds how the control daemon
// runs the fan (`daemonRuns`); blanks closing the name are dropped.
std::string fanMenuTitle(const std::string& name, const std::string& rpmText,
                         const std::string& targetText, bool daemonRuns = false);

class FanMenu : private FanRowControls, NonCopyable {
  public:
    // The submenu belongs to `parent` (the status item's menu).
    FanMenu(std::int64_t fan, FanRowDelegate* delegate, MainQueue& queue, QWidget* parent);
    ~FanMenu() override;

    QMenu* menu() const { return menu_; }
    // Takes one reading (see FanRowLogic::update); the entries follow it while shown.
    void update(const FanLiveInfo& live);
    // How the control daemon runs the fan, in the title; empty: it does not.
    void setStanding(const std::string& note);
    // Whether the status item's menu is open: opening shows the latest reading at once.
    void setShown(bool shown);

    // The user chose "自动", or a speed.
    void chooseAutomatic();
    void chooseSpeed(std::int64_t rpm);

    const std::int64_t fan;
    QPointer<FanRowDelegate> delegate;
    FanRowLogic logic;

  private:
    std::string nameText() const override { return name_; }
    void setNameText(const std::string& text) override { name_ = text; }
    void setRPMText(const std::string& text) override { rpm_ = text; }
    bool isManualChecked() const override { return manual_; }
    void setManualChecked(bool checked) override { manual_ = checked; }
    double sliderMinimum() const override { return min_; }
    void setSliderMinimum(double value) override { min_ = value; }
    double sliderMaximum() const override { return max_; }
    void setSliderMaximum(double value) override { max_ = value; }
    bool isSliderEnabled() const override { return manual_; }
    void setSliderEnabled(bool) override {}
    double sliderValue() const override { return value_; }
    void setSliderValue(double value) override { value_ = value; }
    std::string targetText() const override { return target_; }
    void setTargetText(const std::string& text) override { target_ = text; }

    // Brings the entries in line with the state, changing only what differs.
    void apply();
    std::int64_t chosenSpeed() const;

    std::string name_;
    std::string rpm_;
    bool manual_ = false;
    double min_ = 0;
    double max_ = 0;
    double value_ = 0;
    std::string target_;
    bool shown_ = false;
    bool updated_ = false;

    QPointer<QMenu> menu_;
    QActionGroup* group_;
    QAction* automatic_;
    std::vector<std::int64_t> speeds_;
    std::vector<QAction*> speedActions_;
};
