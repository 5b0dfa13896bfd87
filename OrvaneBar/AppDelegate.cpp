#include "AppDelegate.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <exception>
#include <iterator>

#include "Alerts.h"
#include "ControlProtocol.h"
#include "DaemonLease.h"
#include "Formatting.h"
#include "MenuBuilder.h"
#include "QuitSequence.h"
#include "SensorMenu.h"
#include "StatusItem.h"
#include "TempThresholdDialog.h"
#include "Texts.h"
#include "WritePath.h"

namespace {

LaunchDaemonManager::Options launchDaemonOptions(const AppDelegate::Seams& seams) {
    LaunchDaemonManager::Options options = seams.launchDaemon;
    if (options.plistPath.empty()) options.plistPath = seams.launchDaemonPlistPath;
    return options;
}

// The controller's fans, less those the daemon runs by itself.
BoostFans boostFans(FanController& ctl, const StandingSettings& standing) {
    BoostFans fans = BoostFans::of(ctl);
    fans.daemonRuns = [&standing](int fan) { return standing.count(fan) > 0; };
    return fans;
}

FanController::Options controllerOptions(const AppDelegate::Seams& seams) {
    FanController::Options options = seams.controller;
    options.keepRecord = false;
    return options;
}

DaemonStarter::Options starterOptions(const AppDelegate::Seams& seams) {
    DaemonStarter::Options options = seams.starter;
    const LaunchDaemonManager service(launchDaemonOptions(seams));
    if (options.plistPath.empty()) options.plistPath = service.plistPath();
    if (!options.kickstart)
        options.kickstart = [service] { return service.kickstartIfInstalled(); };
    return options;
}

}  // namespace

// Seams() rather than Seams{}: g++ 12 at -O3 warns falsely that the braced temporary's
// strings may be used uninitialized.
AppDelegate::AppDelegate() : AppDelegate(Seams()) {}

AppDelegate::AppDelegate(Seams seams)
    : ctl(controllerOptions(seams)),
      loginItem(seams.loginItem),
      daemon(seams.daemon),
      starter(daemon, starterOptions(seams)),
      launchDaemon(launchDaemonOptions(seams)),
      boost(boostFans(ctl, standing_),
            [this](const std::string& command) {
                boostWriting_ = true;
                performWrite(command);
                boostWriting_ = false;
            }),
      queue_(seams.queue != nullptr ? *seams.queue : mainQueue()),
      writePath_(new WritePath(starter, this)),
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
    writePath_->setLease(lease);
    lease->start();

    // Asked at the first refresh, then every few seconds.
    standingPoll_ = new StandingPoll(
        daemon, queue_, [this](const DaemonFans& fans) { showStanding(fans); }, this);

    refresh();

    // A timer of the main thread keeps firing while the menu is open: the menu runs in the
    // same event loop, and on macOS, where AppKit tracks the status item's native menu, Qt
    // schedules its timers in the run loop's common modes, the tracking mode among them.
    // Parented to this object, it cannot outlive it.
    refreshTimer = new QTimer(this);
    refreshTimer->setInterval(refreshIntervalMs);
    connect(refreshTimer, &QTimer::timeout, this, &AppDelegate::refresh);
    refreshTimer->start();
}

void AppDelegate::buildMenu() {
    MenuInputs inputs;
    inputs.fanCount = ctl.numberOfFans();
    inputs.tempBoostTitle = BoostController::menuTitle();
    inputs.tempBoostEnabled = BoostController::enabled();
    inputs.serviceInstalled = launchDaemon.isInstalled();

    MenuWiring wiring;
    wiring.rows = this;
    wiring.queue = &queue_;
    wiring.fanSubmenus = fanSubmenus_.value_or(statusItem->hostedOverDBus());
    // The actions run while this object exists: the menu is its own.
    wiring.chosen = [this](MenuAction action) { perform(action); };
    BuiltMenu built = ::buildMenu(inputs, wiring);
    menu_ = std::move(built.menu);
    fanRows = std::move(built.fanRows);
    fanMenus = std::move(built.fanMenus);
    tempItem = built.tempItem;
    sensorMenu = built.sensorMenu;
    tempBoostMenuItem = built.tempBoostMenuItem;
    launchDaemonMenuItem = built.launchDaemonMenuItem;
    loginMenuItem = built.loginMenuItem;

    // The sensors cost SMC calls: they are read when the menu opens and on the ticks while
    // it stays open, never while it is closed.
    connect(menu_.get(), &QMenu::aboutToShow, this, [this] {
        menuOpen_ = true;
        showSensorsOf(*sensorMenu, ctl);
    });
    connect(menu_.get(), &QMenu::aboutToHide, this, [this] { menuOpen_ = false; });
}

// The table of menu actions.
void AppDelegate::perform(MenuAction action) {
    using Handler = void (AppDelegate::*)();
    static constexpr Handler kHandlers[] = {nullptr,  // none
                                            &AppDelegate::restoreAllAuto,
                                            &AppDelegate::toggleTempBoost,
                                            &AppDelegate::setTempThreshold,
                                            &AppDelegate::toggleLaunchDaemon,
                                            &AppDelegate::toggleLoginItem,
                                            &AppDelegate::quitApp};
    static_assert(std::size(kHandlers) == static_cast<std::size_t>(MenuAction::quitApp) + 1);
    if (const Handler handler = kHandlers[static_cast<std::size_t>(action)]) (this->*handler)();
}

void AppDelegate::refresh() {
    if (standingPoll_ != nullptr) standingPoll_->tick();

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

    if (menuOpen_) showSensorsOf(*sensorMenu, ctl);

    const bool loginEnabled = loginItem.isEnabled();
    if (loginMenuItem->isChecked() != loginEnabled) loginMenuItem->setChecked(loginEnabled);

    // Fresh readings for the boost.
    std::optional<double> boostCPU;
    std::optional<double> boostGPU;
    try {
        boostCPU = ctl.cpuTemperature();
        boostGPU = ctl.gpuTemperature();
    } catch (const std::exception&) {
        return;
    }
    boost.handle(boostCPU, boostGPU);
}

void AppDelegate::showStanding(const DaemonFans& fans) {
    if (statusItem != nullptr && fans != daemonFans_) statusItem->setToolTip(fansToolTip(fans));
    daemonFans_ = fans;
    if (fans.standing == standing_) return;
    standing_ = fans.standing;
    auto noteOf = [this](std::int64_t fan) {
        const auto found = standing_.find(fan);
        return found == standing_.end() ? std::string() : standingNote(found->second);
    };
    for (FanRowView* row : fanRows)
        row->setStanding(noteOf(row->fan));
    for (const std::unique_ptr<FanMenu>& fanMenu : fanMenus)
        fanMenu->setStanding(noteOf(fanMenu->fan));
}

void AppDelegate::applicationWillTerminate() {
    if (refreshTimer != nullptr) refreshTimer->stop();
}

void AppDelegate::performWrite(const std::string& command) {
    writePath_->write(command, boostWriting_ ? WriteFrom::boost : WriteFrom::user);
}

void AppDelegate::manualModeChanged(std::int64_t fan, bool manual) {
    boost.releaseHold();
    performWrite(manualModeCommand(ctl, fan, manual));
}

void AppDelegate::sliderChanged(std::int64_t fan, std::int64_t rpm) {
    boost.releaseHold();
    performWrite(protocol::setRequest(fan, rpm));
}

bool AppDelegate::confirmChange(std::int64_t fan) {
    const auto found = standing_.find(fan);
    if (found == standing_.end()) return true;
    const bool curve = found->second.kind == protocol::Standing::Kind::curve;
    const bool yes =
        curve ? confirmAction(Texts::endCurveTitle, Texts::endCurveMessage, Texts::endCurveButton)
              : confirmAction(Texts::endFloorTitle, Texts::endFloorMessage, Texts::endFloorButton);
    // The change ends the setting (or is refused): the next tick asks what stands.
    if (yes && standingPoll_ != nullptr) standingPoll_->askSoon();
    return yes;
}

// Every fan but those the daemon runs by a curve or a floor, which keep their setting.
void AppDelegate::restoreAllAuto() {
    if (standing_.empty()) {
        performWrite(protocol::kAutoAllRequest);
        return;
    }
    const int count = ctl.numberOfFans();
    for (int i = 0; i < count; ++i) {
        if (standing_.count(i) == 0) performWrite(protocol::autoRequest(i));
    }
}

void AppDelegate::toggleTempBoost() {
    const bool enabled = BoostController::toggle();
    if (tempBoostMenuItem != nullptr) tempBoostMenuItem->setChecked(enabled);
}

void AppDelegate::setTempThreshold() {
    if (editTempThresholds(runTempDialog_) && tempBoostMenuItem != nullptr)
        tempBoostMenuItem->setText(QString::fromStdString(BoostController::menuTitle()));
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
    if (succeeded) {
        showInfo(wasInstall ? Texts::installSucceededTitle : Texts::uninstallSucceededTitle,
                 wasInstall ? Texts::installSucceededMessage : Texts::uninstallSucceededMessage);
    } else {
        showError(wasInstall ? Texts::installFailedTitle : Texts::uninstallFailedTitle,
                  wasInstall ? Texts::installFailedMessage : Texts::uninstallFailedMessage);
    }
}

void AppDelegate::toggleLoginItem() {
    loginItem.setEnabled(!loginItem.isEnabled());
    if (loginMenuItem != nullptr) loginMenuItem->setChecked(loginItem.isEnabled());
}

void AppDelegate::quitApp() {
    // Without a mode key a fan is forced by raising its minimum; when the original minimums
    // are not the boot's record, one forced before this process started looks automatic.
    // A fan the daemon runs by a curve or a floor looks forced, but is the daemon's to keep.
    bool forced = false;
    const int count = ctl.numberOfFans();
    for (int i = 0; i < count && !forced; ++i)
        forced = standing_.count(i) == 0 && ctl.isForced(i);
    QuitSequence(starter, quitWaitLimit_).handBack(forced, ::forcedStateUncertain(ctl));
    // The fans are handed back: the lease has nothing left to cover.
    if (lease != nullptr) lease->stop();
    if (terminate_) {
        terminate_();
    } else {
        QCoreApplication::quit();
    }
}

bool AppDelegate::anyFanForced() {
    return ::anyFanForced(ctl);
}

bool AppDelegate::forcedStateUncertain() {
    return ::forcedStateUncertain(ctl);
}
