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
#include "ControlProtocol.h"
#include "DaemonLease.h"
#include "Formatting.h"
#include "MenuModel.h"
#include "SMCError.h"
#include "SensorMenu.h"
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

FanController::Options controllerOptions(const AppDelegate::Seams& seams) {
    FanController::Options options = seams.controller;
    options.keepRecord = false;
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

// "不会以 root 运行 '<tool>'：<reason>\n"
std::string toolRefusal(const ToolTrust& trust) {
    return Texts::toolRefusedPrefix + shellQuote(trust.path) + Texts::toolRefusedSeparator +
           trust.reason + "\n";
}

// The hint to run the tool by hand is given only for a tool root may run; otherwise the
// reason why not takes its place.
std::string startFailureMessage(const ToolTrust& trust) {
    const std::string manual = trust.trusted
                                   ? Texts::startFailedManualPrefix + shellQuote(trust.path) +
                                         Texts::startFailedManualSuffix
                                   : toolRefusal(trust);
    return std::string(Texts::startFailedMessage) + manual + Texts::startFailedLogPrefix +
           AppPaths::daemonLogPath;
}

// "<socket>被另一个用户（uid N）占用，不是以 root 运行的控制服务。\n"
std::string foreignOwner(const std::string& socketPath, uid_t uid) {
    return socketPath + Texts::foreignOwnerPrefix + std::to_string(uid) + Texts::foreignOwnerSuffix;
}

// A write the SMC layer refused, as the daemon's error reply carries its description.
bool isWriteRejected(const std::string& reply) {
    return reply.rfind(protocol::kERR, 0) == 0 &&
           reply.find(SMCError::kWriteRejectedText) != std::string::npos;
}

// How Quit's "auto" went, as far as it got.
struct AutoDelivery {
    enum Result {
        delivered,      // answered with a line starting "OK"
        refused,        // answered with a line starting "ERR" (in `reply`)
        noAnswer,       // no reply from the root daemon (yet)
        notStarted,     // the daemon was down and could not be started
        busy,           // the daemon refused the connection for its limits (yet)
        foreign,        // another user's listener holds the socket (uid in peerUid)
        untrustedTool,  // the daemon was down and the tool is not one root may run
    };
    Result result = noAnswer;
    std::string reply;
    uid_t peerUid = 0;
    std::string path;  // foreign: where it listens
};

// Filled by background work and read, with a time limit, by the main thread.
class DeliveryState {
  public:
    void update(const AutoDelivery& delivery, bool finished) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            delivery_ = delivery;
            done_ = finished;
        }
        if (finished) changed_.notify_all();
    }
    // What is known when the work finished or the limit passed, whichever is first.
    AutoDelivery waitFor(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        (void)changed_.wait_for(lock, limit, [this] { return done_; });
        return delivery_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    AutoDelivery delivery_;
    bool done_ = false;
};

// How long Quit waits between attempts to deliver "auto".
constexpr std::chrono::milliseconds kQuitRetry{500};

// Delivers "auto" until a reply comes or the deadline passes. The daemon is started at
// most once, on the first attempt, and only when mayStart; later attempts only send. A
// missing reply and a busy or absent daemon are tried again; an "OK" or "ERR" reply ends
// the attempts, and so does another user's listener, which waiting does not change. Every
// attempt is reported to `state`.
void deliverAuto(const DaemonClient& client, bool mayStart,
                 std::chrono::steady_clock::time_point deadline, DeliveryState& state) {
    using Clock = std::chrono::steady_clock;
    AutoDelivery delivery;
    if (mayStart) {
        const DaemonStatus status = client.ensureRunning();
        if (status.kind == DaemonStatus::down || status.kind == DaemonStatus::untrustedTool) {
            delivery.result = status.kind == DaemonStatus::down ? AutoDelivery::notStarted
                                                                : AutoDelivery::untrustedTool;
            state.update(delivery, true);
            return;
        }
    }
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        // A slow daemon may take all the time left to answer.
        const DaemonClient::Exchange exchange = client.exchange(
            protocol::kAutoAllRequest, std::max(left, std::chrono::milliseconds(1)));
        delivery = AutoDelivery{};
        if (exchange.outcome == DaemonClient::Exchange::Outcome::foreignListener) {
            delivery.result = AutoDelivery::foreign;
            delivery.peerUid = exchange.peerUid;
            delivery.path = exchange.path;
        } else if (exchange.line && protocol::isBusy(*exchange.line)) {
            delivery.result = AutoDelivery::busy;
        } else if (exchange.line && protocol::isOK(*exchange.line)) {
            delivery.result = AutoDelivery::delivered;
        } else if (exchange.line && exchange.line->rfind(protocol::kERR, 0) == 0) {
            delivery.result = AutoDelivery::refused;
            delivery.reply = *exchange.line;
        }
        const bool finished = delivery.result == AutoDelivery::delivered ||
                              delivery.result == AutoDelivery::refused ||
                              delivery.result == AutoDelivery::foreign ||
                              Clock::now() + kQuitRetry >= deadline;
        state.update(delivery, finished);
        if (finished) return;
        std::this_thread::sleep_for(kQuitRetry);
    }
}

// Why the fans were not handed back, then how to do it by hand (only with a tool root may
// run; otherwise why not).
std::string quitFailureMessage(const AutoDelivery& delivery, const DaemonClient& client) {
    std::string cause;
    switch (delivery.result) {
        case AutoDelivery::delivered:
        case AutoDelivery::noAnswer:
            cause = Texts::quitNoAnswer;
            break;
        case AutoDelivery::refused:
            cause = Texts::quitReplyPrefix + delivery.reply + "\n";
            break;
        case AutoDelivery::notStarted:
        case AutoDelivery::untrustedTool:
            cause = Texts::quitNotStarted;
            break;
        case AutoDelivery::busy:
            cause = Texts::quitBusy;
            break;
        case AutoDelivery::foreign:
            cause = foreignOwner(delivery.path, delivery.peerUid);
            break;
    }
    const ToolTrust trust = client.toolTrust();
    if (!trust.trusted) return cause + toolRefusal(trust);
    return cause + Texts::quitManualPrefix + shellQuote(trust.path) + Texts::quitManualSuffix;
}

}  // namespace

// Seams() rather than Seams{}: g++ 12 at -O3 warns falsely that the braced temporary's
// strings may be used uninitialized.
AppDelegate::AppDelegate() : AppDelegate(Seams()) {}

AppDelegate::AppDelegate(Seams seams)
    : ctl(controllerOptions(seams)),
      loginItem(seams.loginItem),
      daemon(daemonOptions(seams)),
      launchDaemon(launchDaemonOptions(seams)),
      queue_(seams.queue != nullptr ? *seams.queue : mainQueue()),
      showStatusItem_(seams.showStatusItem),
      terminate_(std::move(seams.terminate)),
      quitWaitLimit_(seams.quitWaitLimit),
      runTempDialog_(std::move(seams.runTempDialog)),
      fanSubmenus_(seams.fanSubmenus) {}

AppDelegate::~AppDelegate() {
    // The tray icon refers to the menu, so it goes first.
    delete statusItem;
    statusItem = nullptr;
    fanRows.clear();
    fanMenus.clear();
    menu_.reset();
}

void AppDelegate::applicationDidFinishLaunching() {
    statusItem = new StatusItem(this);
    statusItem->setTitle(Texts::statusInitialTitle);
    statusItem->setToolTip(Texts::statusToolTip);

    buildMenu();
    statusItem->setMenu(menu_.get());
    if (showStatusItem_) statusItem->show();

    // Before the first refresh, whose temperature boost may already force the fans.
    lease = new DaemonLease(daemon, this);
    lease->start();

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

    const bool submenus = fanSubmenus_.value_or(statusItem->hostedOverDBus());
    if (submenus) {
        // The submenus follow the readings only while the menu is open.
        connect(menu_.get(), &QMenu::aboutToShow, this, [this] {
            for (const auto& fan : fanMenus)
                fan->setShown(true);
        });
        connect(menu_.get(), &QMenu::aboutToHide, this, [this] {
            for (const auto& fan : fanMenus)
                fan->setShown(false);
        });
    }

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
                if (submenus) {
                    fanMenus.push_back(
                        std::make_unique<FanMenu>(entry.fan, this, queue_, menu_.get()));
                    menu_->addMenu(fanMenus.back()->menu());
                    break;
                }
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
            case MenuEntry::Kind::sensorMenu:
                sensorMenu = menu_->addMenu(QString::fromStdString(entry.title));
                break;
        }
    }
    // The sensors cost SMC calls: they are read when the menu opens and on the ticks while
    // it stays open, never while it is closed.
    connect(menu_.get(), &QMenu::aboutToShow, this, [this] {
        menuOpen_ = true;
        refreshSensors();
    });
    connect(menu_.get(), &QMenu::aboutToHide, this, [this] { menuOpen_ = false; });
}

void AppDelegate::refreshSensors() {
    std::optional<SensorReadings> readings;
    try {
        readings = ctl.temperatureSensors();
    } catch (const SMCError&) {
        // The submenu says that the list cannot be read; the next opening tries again.
    }
    showSensors(*sensorMenu, readings);
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
    for (std::size_t i = 0; i < fans.size() && i < fanMenus.size(); ++i)
        fanMenus[i]->update(fans[i]);

    const std::string title = statusTitle(peakRPM(fans, fanRows.size() + fanMenus.size()));
    if (title != lastTitle) {
        lastTitle = title;
        statusItem->setTitle(title);
    }

    const QString line = QString::fromStdString(temperatureLine(cpu, gpu));
    if (tempItem->text() != line) tempItem->setText(line);

    if (menuOpen_) refreshSensors();

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
    const DaemonStatus status = daemon.probe();
    switch (status.kind) {
        case DaemonStatus::alive:
            sendWrite(command);
            return;
        case DaemonStatus::unresponsive:
            // A daemon is there: another one would not start, and must not be asked for.
            reportNoReply(command, true);
            return;
        case DaemonStatus::busy:
            reportBusy(command);
            return;
        case DaemonStatus::foreign:
            // Not the control service: nothing is sent, and nothing started over it (the
            // daemon would replace the socket, but the user should know).
            reportForeign(status, command);
            return;
        case DaemonStatus::down:
        case DaemonStatus::untrustedTool:
            break;
    }
    daemon.ensureRunningAsync(this, [this, command](DaemonStatus result) {
        switch (result.kind) {
            case DaemonStatus::alive:
                sendWrite(command);
                break;
            case DaemonStatus::unresponsive:
                reportNoReply(command, true);
                break;
            case DaemonStatus::busy:
                reportBusy(command);
                break;
            case DaemonStatus::foreign:
                reportForeign(result, command);
                break;
            case DaemonStatus::untrustedTool:
                showError(Texts::toolUntrustedTitle,
                          toolRefusal(daemon.toolTrust()) + Texts::toolUntrustedAdvice);
                break;
            case DaemonStatus::down:
                showError(Texts::startFailedTitle, startFailureMessage(daemon.toolTrust()));
                break;
        }
    });
}

void AppDelegate::sendWrite(const std::string& command) {
    // Asked for before the write, so that the daemon counts the fan as this lease's.
    if (lease != nullptr) lease->takeNow();
    const DaemonClient::Exchange exchange = daemon.exchange(command);
    if (exchange.outcome == DaemonClient::Exchange::Outcome::foreignListener) {
        reportForeign({DaemonStatus::foreign, exchange.peerUid, exchange.path}, command);
    } else if (!exchange.line) {
        reportNoReply(command, exchange.outcome == DaemonClient::Exchange::Outcome::noReplyInTime);
    } else if (protocol::isBusy(*exchange.line)) {
        reportBusy(command);
    } else if (isWriteRejected(*exchange.line)) {
        const bool unsupported =
            exchange.line->find(SMCError::kWriteUnsupportedText) != std::string::npos;
        showError(Texts::writeRejectedTitle,
                  unsupported ? Texts::writeUnsupportedMessage : Texts::writeRejectedMessage);
    }
}

void AppDelegate::reportNoReply(const std::string& command, bool unresponsive) {
    showError(Texts::noReplyTitle,
              Texts::noReplyPrefix + command +
                  (unresponsive ? Texts::noReplyUnresponsiveSuffix : Texts::noReplySuffix));
}

void AppDelegate::reportBusy(const std::string& command) {
    showError(Texts::busyTitle, Texts::busyPrefix + command + Texts::busySuffix);
}

void AppDelegate::reportForeign(const DaemonStatus& listener, const std::string& command) {
    showError(Texts::foreignListenerTitle, foreignOwner(listener.path, listener.peerUid) +
                                               Texts::foreignCommandPrefix + command +
                                               Texts::foreignCommandSuffix);
}

void AppDelegate::releaseBoostHold() {
    tempBoostActive = false;
    preBoostStates.reset();
    currentStep = -1;
}

void AppDelegate::manualModeChanged(std::int64_t fan, bool manual) {
    releaseBoostHold();
    if (!manual) {
        performWrite(protocol::autoRequest(fan));
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
    performWrite(protocol::setRequest(fan, truncateRPM(rpm)));
}

void AppDelegate::sliderChanged(std::int64_t fan, std::int64_t rpm) {
    releaseBoostHold();
    performWrite(protocol::setRequest(fan, rpm));
}

void AppDelegate::restoreAllAuto() {
    performWrite(protocol::kAutoAllRequest);
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
    // A forced fan is handed back, starting the daemon when needed. Without a mode key a
    // fan is forced by raising its minimum; when the original minimums are not the boot's
    // record, one forced before this process started looks automatic: a daemon that is
    // there may hold such a fan, so it is asked to hand them back; a daemon that is down
    // restored them when it stopped, and a foreign listener holds nothing.
    const bool forced = anyFanForced();
    bool deliver = forced;
    if (!forced && forcedStateUncertain()) {
        const DaemonStatus::Kind kind = daemon.probe().kind;
        deliver = kind == DaemonStatus::alive || kind == DaemonStatus::busy ||
                  kind == DaemonStatus::unresponsive;
    }
    if (deliver) {
        // The work may show the password prompt and may wait for a busy daemon; the main
        // thread waits for it, never longer than the limit. The work keeps what it needs
        // alive itself and stops trying at the same limit.
        auto state = std::make_shared<DeliveryState>();
        const auto deadline = std::chrono::steady_clock::now() + quitWaitLimit_;
        std::thread([client = daemon, forced, deadline, state] {
            deliverAuto(client, forced, deadline, *state);
        }).detach();
        const AutoDelivery delivery = state->waitFor(quitWaitLimit_);
        if (delivery.result != AutoDelivery::delivered)
            showError(Texts::quitFailedTitle, quitFailureMessage(delivery, daemon));
    }
    // The fans are handed back: the lease has nothing left to cover.
    if (lease != nullptr) lease->stop();
    if (terminate_) {
        terminate_();
    } else {
        QCoreApplication::quit();
    }
}

bool AppDelegate::forcedStateUncertain() {
    if (ctl.recordProblem() == RecordProblem::none) return false;
    const int count = ctl.numberOfFans();
    for (int i = 0; i < count; ++i) {
        if (!ctl.hasModeKey(i)) return true;
    }
    return false;
}

bool AppDelegate::anyFanForced() {
    const int count = ctl.numberOfFans();
    for (int i = 0; i < count; ++i) {
        if (ctl.isForced(i)) return true;
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
        performWrite(protocol::setRequest(i, TempBoost::stepRPM(step, maxRPM)));
    }
}

// The live readings say whether each fan is forced and at what target, on both families:
// for a fan forced through its minimum the target is that minimum. Without a target the
// current speed is kept (0 when unreadable).
std::vector<PreBoostState> AppDelegate::recordFanStates() {
    std::vector<PreBoostState> states;
    std::vector<FanLiveInfo> fans;
    try {
        fans = ctl.liveFans();
    } catch (const std::exception&) {
    }
    const auto count = static_cast<std::size_t>(std::max(ctl.numberOfFans(), 0));
    for (std::size_t i = 0; i < count; ++i) {
        PreBoostState state;
        if (i < fans.size()) {
            state.forced = fans[i].forced;
            state.targetRPM = truncateRPM(fans[i].targetRPM.value_or(fans[i].currentRPM));
        }
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
        performWrite(protocol::kAutoAllRequest);
        return;
    }
    for (int i = 0; i < count; ++i) {
        const PreBoostState& state = (*states)[static_cast<std::size_t>(i)];
        performWrite(state.forced ? protocol::setRequest(i, state.targetRPM)
                                  : protocol::autoRequest(i));
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
