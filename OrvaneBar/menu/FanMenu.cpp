#include "FanMenu.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <algorithm>
#include <cmath>

#include "Formatting.h"
#include "Texts.h"

namespace {

// How many steps the range between the limits is cut into.
constexpr int kSteps = 4;

bool usableLimit(double rpm) {
    return std::isfinite(rpm) && rpm >= 0 && rpm < 1e9;
}

}  // namespace

std::vector<std::int64_t> fanMenuSpeeds(double minRPM, double maxRPM,
                                        std::optional<std::int64_t> current) {
    std::vector<std::int64_t> speeds;
    const bool haveMin = usableLimit(minRPM);
    const bool haveMax = usableLimit(maxRPM);
    const auto lo = static_cast<std::int64_t>(std::ceil(haveMin ? minRPM : 0));
    const auto hi = static_cast<std::int64_t>(std::floor(haveMax ? maxRPM : 0));
    if (haveMin) speeds.push_back(lo);
    if (haveMax) speeds.push_back(hi);
    if (haveMin && haveMax && hi > lo) {
        for (int k = 1; k < kSteps; ++k) {
            const double step = lo + double(hi - lo) * k / kSteps;
            const auto rounded = static_cast<std::int64_t>(std::lround(step / 100.0) * 100);
            speeds.push_back(std::clamp(rounded, lo, hi));
        }
    }
    if (current) speeds.push_back(*current);
    std::sort(speeds.begin(), speeds.end());
    speeds.erase(std::unique(speeds.begin(), speeds.end()), speeds.end());
    return speeds;
}

std::string fanMenuTitle(const std::string& name, const std::string& rpmText,
                         const std::string& targetText, bool daemonRuns) {
    // Names padded with blanks to a fixed width would widen the gap before the speed.
    const std::size_t end = name.find_last_not_of(' ');
    std::string title = name.substr(0, end == std::string::npos ? 0 : end + 1) +
                        Texts::fanMenuSeparator + rpmText + Texts::fanMenuSeparator;
    if (!daemonRuns && targetText != Texts::automaticTarget) title += Texts::fanMenuTargetPrefix;
    return title + targetText;
}

FanMenu::FanMenu(std::int64_t fan, FanRowDelegate* delegate, MainQueue& queue, QWidget* parent)
    : fan(fan),
      delegate(delegate),
      logic(fan, *this, queue, forwardingTo(this->delegate)),
      name_(Texts::fanRowInitialName),
      rpm_(Texts::fanRowInitialRPM),
      target_(Texts::automaticTarget),
      menu_(new QMenu(parent)),
      group_(new QActionGroup(menu_)),
      automatic_(menu_->addAction(QString::fromUtf8(Texts::automaticTarget))) {
    // Radio marks: one choice at a time. Optional, so that a state with none (a reading
    // between two choices) can be shown; a click on the checked entry chooses it again.
    group_->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    automatic_->setCheckable(true);
    group_->addAction(automatic_);
    QObject::connect(automatic_, &QAction::triggered, menu_, [this] { chooseAutomatic(); });
    menu_->addSeparator();
    // A host asks for a submenu just before it shows it.
    QObject::connect(menu_, &QMenu::aboutToShow, menu_, [this] { apply(); });
    apply();
}

FanMenu::~FanMenu() {
    // The parent menu may already have deleted it.
    delete menu_.data();
}

void FanMenu::update(const FanLiveInfo& live) {
    const bool first = !updated_;
    updated_ = true;
    logic.update(live);
    // The first reading is shown even while closed, so a host that reads the menu ahead of
    // time never sees the placeholders.
    if (shown_ || first) apply();
}

void FanMenu::setStanding(const std::string& note) {
    logic.setStanding(note);
    if (shown_) apply();
}

void FanMenu::setShown(bool shown) {
    shown_ = shown;
    if (shown) apply();
}

void FanMenu::chooseAutomatic() {
    manual_ = false;
    logic.modeAction();
    apply();
}

void FanMenu::chooseSpeed(std::int64_t rpm) {
    manual_ = true;
    value_ = double(rpm);
    logic.sliderAction();
    apply();
}

std::int64_t FanMenu::chosenSpeed() const {
    return truncateRPM(value_);
}

void FanMenu::apply() {
    const QString title = QString::fromStdString(
        fanMenuTitle(name_, rpm_, target_, target_ == logic.standing() && !target_.empty()));
    if (menu_->title() != title) menu_->setTitle(title);

    const std::vector<std::int64_t> speeds =
        fanMenuSpeeds(min_, max_, manual_ ? std::optional(chosenSpeed()) : std::nullopt);
    if (speeds != speeds_) {
        // Later: the list changes on a click, from inside the clicked entry's signal.
        for (QAction* action : speedActions_) {
            menu_->removeAction(action);
            group_->removeAction(action);
            action->deleteLater();
        }
        speedActions_.clear();
        speeds_ = speeds;
        for (std::int64_t rpm : speeds_) {
            QAction* action = menu_->addAction(QString::fromStdString(speedText(double(rpm))));
            action->setCheckable(true);
            group_->addAction(action);
            QObject::connect(action, &QAction::triggered, menu_, [this, rpm] { chooseSpeed(rpm); });
            speedActions_.push_back(action);
        }
    }

    // The entry the fan's state calls for is checked first: that unchecks the group's other.
    QAction* wanted = manual_ ? nullptr : automatic_;
    for (std::size_t i = 0; i < speeds_.size(); ++i) {
        if (manual_ && speeds_[i] == chosenSpeed()) wanted = speedActions_[i];
    }
    if (wanted != nullptr && !wanted->isChecked()) wanted->setChecked(true);
    const auto choices = group_->actions();
    for (QAction* action : choices) {
        if (action != wanted && action->isChecked()) action->setChecked(false);
    }
}
