#include "FanRowLogic.h"

#include <cmath>

#include "Formatting.h"
#include "Texts.h"

namespace {

// Exact comparison, except that two NaN limits count as equal, so that a sensor giving
// NaN does not rewrite the slider on every tick.
bool differs(double a, double b) {
    return !(a == b) && !(std::isnan(a) && std::isnan(b));
}

}  // namespace

double clampToLimits(double t, double lo, double hi) {
    if (t < lo) return lo;
    if (t > hi) return hi;
    return t;
}

FanRowLogic::FanRowLogic(std::int64_t fan, FanRowControls& controls, MainQueue& queue,
                         FanRowCallouts callouts)
    : fan(fan), controls_(controls), queue_(queue), callouts_(std::move(callouts)) {}

bool FanRowLogic::inGracePeriod() const {
    return confirming_ || (lastUserEdit && queue_.now() - *lastUserEdit < gracePeriod);
}

void FanRowLogic::setStanding(const std::string& note) {
    if (note == standing_) return;
    standing_ = note;
    if (lastLive_) update(*lastLive_);
}

void FanRowLogic::update(const FanLiveInfo& live) {
    lastLive_ = live;
    if (controls_.nameText() != live.name) controls_.setNameText(live.name);

    std::string rpmText = speedText(live.currentRPM);
    if (rpmText != lastRPMText) {
        lastRPMText = rpmText;
        controls_.setRPMText(rpmText);
    }

    if (inGracePeriod()) return;

    if (controls_.isManualChecked() != live.forced) controls_.setManualChecked(live.forced);
    if (differs(controls_.sliderMinimum(), live.minRPM)) controls_.setSliderMinimum(live.minRPM);
    if (differs(controls_.sliderMaximum(), live.maxRPM)) controls_.setSliderMaximum(live.maxRPM);
    if (controls_.isSliderEnabled() != live.forced) controls_.setSliderEnabled(live.forced);

    if (live.forced || !standing_.empty()) {
        const double t = live.forced ? live.targetRPM.value_or(live.currentRPM) : live.minRPM;
        controls_.setSliderValue(clampToLimits(t, live.minRPM, live.maxRPM));
        // The daemon sets the speed: the row says how rather than where it is now.
        std::string targetText = standing_.empty() ? speedText(t) : standing_;
        if (targetText != lastTargetText) {
            lastTargetText = targetText;
            controls_.setTargetText(targetText);
        }
    } else {
        controls_.setSliderValue(live.minRPM);
        if (controls_.targetText() != Texts::automaticTarget) {
            lastTargetText = Texts::automaticTarget;
            controls_.setTargetText(Texts::automaticTarget);
        }
    }
}

// The cache follows what the user's action put on screen. Were it left at the last
// reading's text, an edit that has no effect (a refused write) would leave the label
// wrong after the grace period: the fan's unchanged target gives the cached text, so the
// label would never be corrected.
void FanRowLogic::showUserTarget(const std::string& text) {
    lastTargetText = text;
    controls_.setTargetText(text);
}

// The question runs a modal dialog, whose event loop may delete the row: nothing of it is
// touched afterwards unless it is still there.
bool FanRowLogic::confirmed() {
    if (!callouts_.confirmChange) return true;
    std::weak_ptr<int> alive = alive_;
    confirming_ = true;
    const bool yes = callouts_.confirmChange(fan);
    if (alive.expired()) return false;
    confirming_ = false;
    if (yes) return true;
    lastUserEdit.reset();
    if (pendingWrite) pendingWrite->cancel();
    if (lastLive_) update(*lastLive_);
    return false;
}

void FanRowLogic::modeAction() {
    lastUserEdit = queue_.now();
    const bool manual = controls_.isManualChecked();
    controls_.setSliderEnabled(manual);
    showUserTarget(manual ? speedText(controls_.sliderValue()) : Texts::automaticTarget);
    if (!confirmed()) return;
    if (callouts_.manualModeChanged) callouts_.manualModeChanged(fan, manual);
}

void FanRowLogic::sliderAction() {
    lastUserEdit = queue_.now();
    showUserTarget(speedText(controls_.sliderValue()));
    if (pendingWrite) pendingWrite->cancel();
    const std::int64_t rpm = truncateRPM(controls_.sliderValue());
    std::weak_ptr<int> alive = alive_;
    pendingWrite = std::make_shared<WorkItem>([this, alive, rpm] {
        if (alive.expired()) return;  // the row is gone
        if (!confirmed()) return;
        if (callouts_.sliderChanged) callouts_.sliderChanged(fan, rpm);
    });
    queue_.asyncAfter(writeDelay, pendingWrite);
}
