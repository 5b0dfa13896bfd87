#include "AppDelegate.h"

#include <QAction>
#include <QCoreApplication>
#include <QKeySequence>
#include <QPointer>
#include <QSettings>
#include <QTimer>
#include <QWidgetAction>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "Alerts.h"
#include "AppPaths.h"
#include "Formatting.h"
#include "MenuModel.h"
#include "SettingsKeys.h"
#include "StatusItem.h"
#include "StatusMenu.h"
#include "TempBoost.h"
#include "TempThresholdDialog.h"
#include "Texts.h"

namespace {

double storedDouble(const char* key) {
    return QSettings().value(key).toDouble();
}

bool storedBool(const char* key) {
    return QSettings().value(key).toBool();
}

// A temperature reading that is a number; anything else counts as missing.
std::optional<double> usable(std::optional<double> reading) {
    if (reading && std::isfinite(*reading)) return reading;
    return std::nullopt;
}

LaunchDaemonManager::Options launchDaemonOptions(const AppDelegate::Seams& seams) {
    LaunchDaemonManager::Options options = seams.launchDaemon;
    if (options.plistPath.empty()) options.plistPath = seams.launchDaemonPlistPath;
    return options;
}

DaemonClient::Options daemonOptions(const AppDelegate::Seams& seams) {
    DaemonClient::Options options = seams.daemon;
    const LaunchDaemonManager service(launchDaemonOptions(seams));
    if (options.plistPath.empty()) options.plistPath = service.plistPath();
    if (!options.kickstart)
        options.kickstart = [service] { return service.kickstartIfInstalled(); };
    return options;
}

std::string startFailureMessage(const std::string& toolPath) {
    return std::string(Texts::startFailedMessage) + Texts::startFailedManualPrefix +
           shellQuote(toolPath) + Texts::startFailedManualSuffix + Texts::startFailedLogPrefix +
           AppPaths::daemonLogPath;
}

bool isWriteRejected(const std::string& reply) {
    return reply.rfind("ERR", 0) == 0 &&
           reply.find(Texts::writeRejectedMarker) != std::string::npos;
}

// Signalled once by background work; waited for with a time limit.
class Completion {
  public:
    void signal() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
    }
    bool waitFor(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return done_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
};

}  // namespace

AppDelegate::AppDelegate() : AppDelegate(Seams{}) {}

AppDelegate::AppDelegate(Seams seams)
    : loginItem(seams.loginItem),
      daemon(daemonOptions(seams)),
      launchDaemon(launchDaemonOptions(seams)),
      queue_(seams.queue != nullptr ? *seams.queue : mainQueue()),
      showStatusItem_(seams.showStatusItem),
      terminate_(std::move(seams.terminate)),
      quitWaitLimit_(seams.quitWaitLimit),
      runTempDialog_(std::move(seams.runTempDialog)) {}

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

void AppDelegate::performWrite(const std::string& command) {
    switch (daemon.probe()) {
        case DaemonStatus::alive:
            sendWrite(command);
            return;
        case DaemonStatus::unresponsive:
            // Starting another daemon would take the socket over from this one.
            reportNoReply(command);
            return;
        case DaemonStatus::down:
            break;
    }
    daemon.ensureRunningAsync(this, [this, command](DaemonStatus status) {
        switch (status) {
            case DaemonStatus::alive:
                sendWrite(command);
                break;
            case DaemonStatus::unresponsive:
                reportNoReply(command);
                break;
            case DaemonStatus::down:
                showError(Texts::startFailedTitle, startFailureMessage(daemon.toolPath()));
                break;
        }
    });
}

void AppDelegate::sendWrite(const std::string& command) {
    const std::optional<std::string> reply = daemon.send(command);
    if (!reply) {
        reportNoReply(command);
    } else if (isWriteRejected(*reply)) {
        showError(Texts::writeRejectedTitle, Texts::writeRejectedMessage);
    }
}

void AppDelegate::reportNoReply(const std::string& command) {
    showError(Texts::noReplyTitle, Texts::noReplyPrefix + command + Texts::noReplySuffix);
}

void AppDelegate::releaseBoostHold() {
    tempBoostActive = false;
    preBoostStates.reset();
    currentStep = -1;
}

void AppDelegate::manualModeChanged(std::int64_t fan, bool manual) {
    releaseBoostHold();
    if (!manual) {
        performWrite(autoCommand(fan));
        return;
    }
    // Pin the fan at the speed it runs at: its target, else its current speed.
    const int index = static_cast<int>(fan);
    double rpm = 3000;
    if (std::optional<double> target = ctl.targetRPM(index)) {
        rpm = *target;
    } else {
        try {
            rpm = ctl.currentRPM(index);
        } catch (const std::exception&) {
        }
    }
    performWrite(setCommand(fan, truncateRPM(rpm)));
}

void AppDelegate::sliderChanged(std::int64_t fan, std::int64_t rpm) {
    releaseBoostHold();
    performWrite(setCommand(fan, rpm));
}

void AppDelegate::restoreAllAuto() {
    performWrite(allAutoCommand);
}

void AppDelegate::toggleTempBoost() {
    const bool enabled = !storedBool(SettingsKeys::tempBoostEnabled);
    QSettings().setValue(SettingsKeys::tempBoostEnabled, enabled);
    if (tempBoostMenuItem != nullptr)
        tempBoostMenuItem->setChecked(storedBool(SettingsKeys::tempBoostEnabled));
}

void AppDelegate::setTempThreshold() {
    TempThresholdDialog dialog(formatFixed(tempBoostStartTemp(), 0),
                               formatFixed(tempBoostFullTemp(), 0));
    const bool confirmed =
        runTempDialog_ ? runTempDialog_(dialog) : dialog.exec() == QDialog::Accepted;
    if (!confirmed) return;

    const std::optional<TempBoost::Range> range =
        TempBoost::validRange(dialog.startText(), dialog.fullText());
    if (!range) {
        showError(Texts::invalidTempTitle, Texts::invalidTempMessage);
        return;
    }
    QSettings settings;
    settings.setValue(SettingsKeys::tempBoostStartTemp, range->start);
    settings.setValue(SettingsKeys::tempBoostThreshold, range->full);
    settings.sync();
    if (tempBoostMenuItem != nullptr)
        tempBoostMenuItem->setText(QString::fromStdString(tempBoostMenuTitle()));
}

std::string AppDelegate::launchDaemonTitle() const {
    return launchDaemon.isInstalled() ? Texts::uninstallService : Texts::installService;
}

void AppDelegate::toggleLaunchDaemon() {
    const bool installed = launchDaemon.isInstalled();
    const bool confirmed =
        installed ? confirmAction(Texts::uninstallConfirmTitle, Texts::uninstallConfirmMessage,
                                  Texts::uninstallButton)
                  : confirmAction(Texts::installConfirmTitle, Texts::installConfirmMessage,
                                  Texts::installButton);
    if (!confirmed) return;

    if (launchDaemonMenuItem != nullptr) {
        launchDaemonMenuItem->setText(
            QString::fromUtf8(installed ? Texts::uninstallWorking : Texts::installWorking));
        launchDaemonMenuItem->setEnabled(false);
    }
    // The completion does nothing once the controller is gone.
    QPointer<AppDelegate> self(this);
    auto finished = [self, installed](bool succeeded) {
        if (self) self->launchDaemonOperationFinished(!installed, succeeded);
    };
    if (installed) {
        launchDaemon.uninstall(finished);
    } else {
        launchDaemon.install(finished);
    }
}

void AppDelegate::launchDaemonOperationFinished(bool wasInstall, bool succeeded) {
    // The title follows the file system, not the result: a failed install that placed the
    // property list offers uninstalling.
    if (launchDaemonMenuItem != nullptr) {
        launchDaemonMenuItem->setText(QString::fromStdString(launchDaemonTitle()));
        launchDaemonMenuItem->setEnabled(true);
    }
    if (wasInstall) {
        if (succeeded) {
            showInfo(Texts::installSucceededTitle, Texts::installSucceededMessage);
        } else {
            showError(Texts::installFailedTitle, Texts::installFailedMessage);
        }
    } else if (succeeded) {
        showInfo(Texts::uninstallSucceededTitle, Texts::uninstallSucceededMessage);
    } else {
        showError(Texts::uninstallFailedTitle, Texts::uninstallFailedMessage);
    }
}

void AppDelegate::toggleLoginItem() {
    loginItem.setEnabled(!loginItem.isEnabled());
    if (loginMenuItem != nullptr) loginMenuItem->setChecked(loginItem.isEnabled());
}

void AppDelegate::quitApp() {
    if (anyFanForced()) {
        if (daemon.probe() == DaemonStatus::alive) {
            (void)daemon.send(allAutoCommand);
        } else {
            // The start may show the password prompt; the main thread waits for it, but
            // never longer than the limit. The work keeps what it needs alive itself.
            auto done = std::make_shared<Completion>();
            std::thread([client = daemon, done] {
                if (client.ensureRunning() == DaemonStatus::alive)
                    (void)client.send(allAutoCommand);
                done->signal();
            }).detach();
            (void)done->waitFor(quitWaitLimit_);
        }
    } else if (anyFanWithoutModeKey() && daemon.probe() == DaemonStatus::alive) {
        // Without a mode key a fan is forced by raising its minimum, which no mode byte
        // shows: a running daemon may hold such a fan, so it is asked to hand them back.
        // A daemon that is down has restored them when it stopped.
        (void)daemon.send(allAutoCommand);
    }
    if (terminate_) {
        terminate_();
    } else {
        QCoreApplication::quit();
    }
}

bool AppDelegate::anyFanWithoutModeKey() {
    const int count = ctl.numberOfFans();
    for (int i = 0; i < count; ++i) {
        if (!ctl.hasModeKey(i)) return true;
    }
    return false;
}

bool AppDelegate::anyFanForced() {
    const int count = ctl.numberOfFans();
    for (int i = 0; i < count; ++i) {
        if (ctl.modeValue(i) == 1) return true;
    }
    return false;
}

void AppDelegate::handleTempBoost(std::optional<double> cpu, std::optional<double> gpu) {
    if (!storedBool(SettingsKeys::tempBoostEnabled)) {
        if (tempBoostActive) endTempBoost();
        return;
    }
    cpu = usable(cpu);
    gpu = usable(gpu);
    if (!cpu && !gpu) return;  // no decision this tick; an engaged boost keeps its step
    const double t = cpu && gpu ? std::max(*cpu, *gpu) : cpu ? *cpu : *gpu;

    const double start = tempBoostStartTemp();
    const double full = tempBoostFullTemp();
    if (t < start) {
        if (tempBoostActive) endTempBoost();
        return;
    }

    const int step = TempBoost::step(t, start, full);
    if (!tempBoostActive) {
        preBoostStates = recordFanStates();
        tempBoostActive = true;
    }
    if (step == currentStep) return;
    // The state changes before anything is sent: a failed write shows an alert, whose
    // event loop runs further ticks, and those must find this step already taken.
    currentStep = step;
    const int count = ctl.numberOfFans();
    for (int i = 0; i < count; ++i) {
        double maxRPM = 0;
        try {
            maxRPM = ctl.maxRPM(i);
        } catch (const std::exception&) {
        }
        performWrite(setCommand(i, TempBoost::stepRPM(step, maxRPM)));
    }
}

std::vector<PreBoostState> AppDelegate::recordFanStates() {
    std::vector<PreBoostState> states;
    const int count = ctl.numberOfFans();
    for (int i = 0; i < count; ++i) {
        PreBoostState state;
        state.forced = ctl.modeValue(i) == 1;
        double rpm = 0;
        if (std::optional<double> target = ctl.targetRPM(i)) {
            rpm = *target;
        } else {
            try {
                rpm = ctl.currentRPM(i);
            } catch (const std::exception&) {
            }
        }
        state.targetRPM = truncateRPM(rpm);
        states.push_back(state);
    }
    return states;
}

void AppDelegate::endTempBoost() {
    // Cleared first, for the same reason as the step in handleTempBoost.
    const std::optional<std::vector<PreBoostState>> states = std::move(preBoostStates);
    releaseBoostHold();
    restoreStates(states);
}

void AppDelegate::restorePreBoostStates() {
    restoreStates(preBoostStates);
}

void AppDelegate::restoreStates(const std::optional<std::vector<PreBoostState>>& states) {
    const int count = ctl.numberOfFans();
    if (!states || states->size() != static_cast<std::size_t>(count)) {
        performWrite(allAutoCommand);
        return;
    }
    for (int i = 0; i < count; ++i) {
        const PreBoostState& state = (*states)[static_cast<std::size_t>(i)];
        performWrite(state.forced ? setCommand(i, state.targetRPM) : autoCommand(i));
    }
}

double AppDelegate::tempBoostStartTemp() const {
    return ::tempBoostStartTemp(storedDouble(SettingsKeys::tempBoostStartTemp),
                                storedDouble(SettingsKeys::tempBoostThreshold));
}

double AppDelegate::tempBoostFullTemp() const {
    return ::tempBoostFullTemp(storedDouble(SettingsKeys::tempBoostThreshold));
}

std::string AppDelegate::tempBoostMenuTitle() const {
    return ::tempBoostMenuTitle(storedDouble(SettingsKeys::tempBoostStartTemp),
                                storedDouble(SettingsKeys::tempBoostThreshold));
}
