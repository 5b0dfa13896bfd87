#include "AppDelegate.h"

#include <QAction>
#include <QCoreApplication>
#include <QKeySequence>
#include <QSettings>
#include <QTimer>
#include <QWidgetAction>
#include <cstdio>
#include <exception>

#include "Formatting.h"
#include "MenuModel.h"
#include "SettingsKeys.h"
#include "StatusItem.h"
#include "StatusMenu.h"
#include "Texts.h"

namespace {

// Actions whose behaviour has not been built yet say so on standard error rather than
// pretend to have done something.
void notAvailableYet(const char* action) {
    std::fprintf(stderr, "OrvaneBar: %s is not available in this build yet\n", action);
}

double storedDouble(const char* key) {
    return QSettings().value(key).toDouble();
}

}  // namespace

AppDelegate::AppDelegate() : AppDelegate(Seams{}) {}

AppDelegate::AppDelegate(Seams seams)
    : launchDaemon(seams.launchDaemonPlistPath),
      queue_(seams.queue != nullptr ? *seams.queue : mainQueue()),
      showStatusItem_(seams.showStatusItem) {}

AppDelegate::~AppDelegate() {
    // The tray icon refers to the menu, so it goes first.
    delete statusItem;
    statusItem = nullptr;
    fanRows.clear();
    menu_.reset();
}

void AppDelegate::applicationDidFinishLaunching() {
    statusItem = new StatusItem(this);
    statusItem->setTitle(Texts::statusInitialTitle);
    statusItem->setToolTip(Texts::statusToolTip);

    buildMenu();
    statusItem->setMenu(menu_.get());
    if (showStatusItem_) statusItem->show();

    refresh();

    // A timer of the main thread keeps firing while the menu is open (the menu runs in
    // the same event loop). Parented to this object, it cannot outlive it.
    refreshTimer = new QTimer(this);
    refreshTimer->setInterval(refreshIntervalMs);
    connect(refreshTimer, &QTimer::timeout, this, &AppDelegate::refresh);
    refreshTimer->start();
}

void AppDelegate::buildMenu() {
    menu_ = std::make_unique<StatusMenu>();

    MenuInputs inputs;
    inputs.fanCount = ctl.numberOfFans();
    inputs.tempBoostTitle = tempBoostMenuTitle();
    inputs.tempBoostEnabled = QSettings().value(SettingsKeys::tempBoostEnabled).toBool();
    inputs.serviceInstalled = launchDaemon.isInstalled();

    for (const MenuEntry& entry : buildMenuModel(inputs)) {
        switch (entry.kind) {
            case MenuEntry::Kind::separator:
                menu_->addSeparator();
                break;
            case MenuEntry::Kind::fanRow: {
                auto* row = new FanRowView(entry.fan, this, queue_);
                fanRows.push_back(row);
                auto* holder = new QWidgetAction(menu_.get());
                holder->setDefaultWidget(row);
                menu_->addAction(holder);
                break;
            }
            case MenuEntry::Kind::item:
                addMenuItem(entry);
                break;
        }
    }
}

void AppDelegate::addMenuItem(const MenuEntry& entry) {
    QAction* action = menu_->addAction(QString::fromStdString(entry.title));
    action->setEnabled(entry.enabled);
    action->setCheckable(entry.checkable);
    action->setChecked(entry.checked);
    if (!entry.keyEquivalent.empty()) {
        // Shown as the bare key; Ctrl with the key works as well, the desktop convention
        // for the command key.
        const QString key = QString::fromStdString(entry.keyEquivalent).toUpper();
        action->setShortcuts({QKeySequence(key), QKeySequence("Ctrl+" + key)});
        action->setShortcutVisibleInContextMenu(true);
    }

    if (const Method method = methodFor(entry.action)) {
        connect(action, &QAction::triggered, this, [this, action, method] {
            // Qt flips a checkable action's mark by itself; undo that, so the mark changes
            // only when the action's method sets it.
            if (action->isCheckable()) action->setChecked(!action->isChecked());
            (this->*method)();
        });
    }

    switch (entry.slot) {
        case MenuSlot::none:
            break;
        case MenuSlot::tempItem:
            tempItem = action;
            break;
        case MenuSlot::tempBoostMenuItem:
            tempBoostMenuItem = action;
            break;
        case MenuSlot::launchDaemonMenuItem:
            launchDaemonMenuItem = action;
            break;
        case MenuSlot::loginMenuItem:
            loginMenuItem = action;
            break;
    }
}

AppDelegate::Method AppDelegate::methodFor(MenuAction action) {
    switch (action) {
        case MenuAction::none:
            return nullptr;
        case MenuAction::restoreAllAuto:
            return &AppDelegate::restoreAllAuto;
        case MenuAction::toggleTempBoost:
            return &AppDelegate::toggleTempBoost;
        case MenuAction::setTempThreshold:
            return &AppDelegate::setTempThreshold;
        case MenuAction::toggleLaunchDaemon:
            return &AppDelegate::toggleLaunchDaemon;
        case MenuAction::toggleLoginItem:
            return &AppDelegate::toggleLoginItem;
        case MenuAction::quitApp:
            return &AppDelegate::quitApp;
    }
    return nullptr;
}

void AppDelegate::refresh() {
    std::vector<FanLiveInfo> fans;
    std::optional<double> cpu;
    std::optional<double> gpu;
    try {
        fans = ctl.liveFans();
        cpu = ctl.cpuTemperature();
        gpu = ctl.gpuTemperature();
    } catch (const std::exception&) {
        // The readings do not raise; should one ever do, this tick shows nothing new.
        return;
    }

    for (std::size_t i = 0; i < fans.size() && i < fanRows.size(); ++i)
        fanRows[i]->update(fans[i]);

    const std::string title = statusTitle(peakRPM(fans, fanRows.size()));
    if (title != lastTitle) {
        lastTitle = title;
        statusItem->setTitle(title);
    }

    const QString line = QString::fromStdString(temperatureLine(cpu, gpu));
    if (tempItem->text() != line) tempItem->setText(line);

    const bool loginEnabled = loginItem.isEnabled();
    if (loginMenuItem->isChecked() != loginEnabled) loginMenuItem->setChecked(loginEnabled);

    std::optional<double> boostCPU;
    std::optional<double> boostGPU;
    try {
        boostCPU = ctl.cpuTemperature();
        boostGPU = ctl.gpuTemperature();
    } catch (const std::exception&) {
        return;
    }
    handleTempBoost(boostCPU, boostGPU);
}

void AppDelegate::applicationWillTerminate() {
    if (refreshTimer != nullptr) refreshTimer->stop();
}

// PLACEHOLDER until the write path lands: nothing is sent to the daemon.
void AppDelegate::manualModeChanged(std::int64_t, bool) {
    notAvailableYet("manualModeChanged");
}

// PLACEHOLDER until the write path lands: nothing is sent to the daemon.
void AppDelegate::sliderChanged(std::int64_t, std::int64_t) {
    notAvailableYet("sliderChanged");
}

// PLACEHOLDER until the write path lands.
void AppDelegate::restoreAllAuto() {
    notAvailableYet("restoreAllAuto");
}

// PLACEHOLDER until the temperature boost lands: the setting and its mark stay as they are.
void AppDelegate::toggleTempBoost() {
    notAvailableYet("toggleTempBoost");
}

// PLACEHOLDER until the temperature boost lands.
void AppDelegate::setTempThreshold() {
    notAvailableYet("setTempThreshold");
}

// PLACEHOLDER until the service installer lands.
void AppDelegate::toggleLaunchDaemon() {
    notAvailableYet("toggleLaunchDaemon");
}

// PLACEHOLDER until start at login lands: the mark keeps following LoginItem.
void AppDelegate::toggleLoginItem() {
    notAvailableYet("toggleLoginItem");
}

// PLACEHOLDER for the write path's part: fans are not handed back to automatic control
// yet (this build never forces one); quitting itself works.
void AppDelegate::quitApp() {
    notAvailableYet("restoring the fans on quit");
    QCoreApplication::quit();
}

// PLACEHOLDER until the temperature boost lands: evaluates nothing.
void AppDelegate::handleTempBoost(std::optional<double>, std::optional<double>) {}

double AppDelegate::tempBoostStartTemp() const {
    return ::tempBoostStartTemp(storedDouble(SettingsKeys::tempBoostStartTemp),
                                storedDouble(SettingsKeys::tempBoostThreshold));
}

std::string AppDelegate::tempBoostMenuTitle() const {
    return ::tempBoostMenuTitle(storedDouble(SettingsKeys::tempBoostStartTemp),
                                storedDouble(SettingsKeys::tempBoostThreshold));
}
