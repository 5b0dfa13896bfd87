// The application controller: owns the fan controller and the rooms of the application,
// wires them at launch (status item, menu, lease, refresh timer), refreshes everything
// twice a second on the main thread and holds the table of menu actions. Every change of
// fan state goes to the control daemon as one command through the write path; the
// temperature boost (BoostController) drives the fans through the same path. Fans the
// daemon runs by itself (a curve or a floor, StandingPoll) are shown as such, skipped by
// the boost, and changed only once the user has agreed to end their setting.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BoostController.h"
#include "DaemonClient.h"
#include "DaemonStarter.h"
#include "FanController.h"
#include "FanMenu.h"
#include "FanRowView.h"
#include "LaunchDaemonManager.h"
#include "LoginItem.h"
#include "MainQueue.h"
#include "MenuModel.h"
#include "StandingSettings.h"

class DaemonLease;
class QAction;
class QMenu;
class QTimer;
class StatusItem;
class TempThresholdDialog;
class WritePath;

class AppDelegate : public FanRowDelegate {
  public:
    // What tests and unattended runs replace; the application uses the defaults.
    struct Seams {
        // The fan controller. Its record of original minimums is only read here, whatever
        // keepRecord says: the daemon, which writes the SMC, keeps it.
        FanController::Options controller;
        std::string launchDaemonPlistPath = LaunchDaemonManager::defaultPlistPath;
        // The control service; an empty plistPath takes launchDaemonPlistPath.
        LaunchDaemonManager::Options launchDaemon;
        // Start at login.
        LoginItem::Options loginItem;
        MainQueue* queue = nullptr;  // none: the main thread's queue
        bool showStatusItem = true;  // false: build everything but keep the icon out of the tray
        // The daemon client, and how the daemon is started: an empty plistPath takes the
        // control service's, and an empty kickstart restarts the control service through
        // launchDaemon.
        DaemonClient::Options daemon;
        DaemonStarter::Options starter;
        // Ends the application after quitApp; none: QCoreApplication::quit.
        std::function<void()> terminate;
        // How long quitApp waits for the fans to be handed back.
        std::chrono::milliseconds quitWaitLimit{120'000};
        // Runs the boost dialog and tells whether "确定" was chosen; none: modal exec.
        std::function<bool(TempThresholdDialog&)> runTempDialog;
        // Each fan as a submenu (true) or a widget row (false); none: submenus where the
        // tray's host draws the menu from the session bus.
        std::optional<bool> fanSubmenus;
    };

    // Opens the SMC; raises SMCError when it cannot (the caller reports it and exits).
    AppDelegate();
    explicit AppDelegate(Seams seams);
    ~AppDelegate() override;

    // Builds the status item and the menu, refreshes once, starts the refresh timer and
    // takes the lease on the fans this user forces when a daemon is there.
    void applicationDidFinishLaunching();
    // Stops the refresh timer. Nothing is sent to the daemon here.
    void applicationWillTerminate();

    // Hands a command to the write path (WritePath::write), which probes the daemon, starts
    // it when it is down, sends and reports. Virtual so that tests can record the commands
    // instead of sending them.
    virtual void performWrite(const std::string& command);

    // FanRowDelegate.
    void manualModeChanged(std::int64_t fan, bool manual) override;
    void sliderChanged(std::int64_t fan, std::int64_t rpm) override;
    // A change of a fan the daemon runs by a curve or a floor ends that setting: asked first.
    bool confirmChange(std::int64_t fan) override;

    // Menu actions. quitApp hands forced fans back to automatic control first
    // (QuitSequence), then ends the lease and the application. Neither restoreAllAuto nor
    // quitApp ends a curve or a floor of the daemon's.
    void restoreAllAuto();
    void toggleTempBoost();
    void setTempThreshold();
    // Installs the control service when it is not installed, else removes it, after a
    // confirmation; the entry is disabled and shows a working title meanwhile, and the
    // result is shown in an alert.
    void toggleLaunchDaemon();
    // Flips start at login; the check mark shows the state reached.
    void toggleLoginItem();
    // The service entry's title: uninstalling when the service is installed, else installing.
    std::string launchDaemonTitle() const;
    void quitApp();

    // Temperature boost: one evaluation per refresh tick with fresh readings.
    void handleTempBoost(std::optional<double> cpu, std::optional<double> gpu) {
        boost.handle(cpu, gpu);
    }
    double tempBoostStartTemp() const { return BoostController::startTemp(); }
    std::string tempBoostMenuTitle() const { return BoostController::menuTitle(); }
    // Some fan is forced; none looks forced but one forced before this process started could
    // be (QuitSequence.h).
    bool anyFanForced();
    bool forcedStateUncertain();

    // The status item's menu (none before launch has finished).
    QMenu* menu() const { return menu_.get(); }
    // The fans the daemon runs by itself, as last learned (StandingPoll).
    const StandingSettings& standingFans() const { return standing_; }

    FanController ctl;
    StatusItem* statusItem = nullptr;
    std::vector<FanRowView*> fanRows;
    // Instead of fanRows where the tray's host draws the menu: a submenu per fan.
    std::vector<std::unique_ptr<FanMenu>> fanMenus;
    QAction* tempItem = nullptr;
    // The submenu of every temperature sensor, read only while the menu is open.
    QMenu* sensorMenu = nullptr;
    QAction* loginMenuItem = nullptr;
    LoginItem loginItem;
    DaemonClient daemon;
    DaemonStarter starter;
    LaunchDaemonManager launchDaemon;
    QAction* launchDaemonMenuItem = nullptr;
    QTimer* refreshTimer = nullptr;
    DaemonLease* lease = nullptr;  // from launch on
    BoostController boost;
    QAction* tempBoostMenuItem = nullptr;
    std::string lastTitle;

    static constexpr int refreshIntervalMs = 500;

  private:
    friend class AppDelegateTest;
    friend class AppDelegateBench;

    // One tick: rows, status title, temperature line, login check mark, boost.
    void refresh();
    void buildMenu();
    void perform(MenuAction action);
    void launchDaemonOperationFinished(bool wasInstall, bool succeeded);
    // Rows, submenus and tooltip after what the daemon said it runs.
    void showStanding(const DaemonFans& fans);

    MainQueue& queue_;
    WritePath* writePath_;
    bool showStatusItem_;
    std::function<void()> terminate_;
    std::chrono::milliseconds quitWaitLimit_;
    std::function<bool(TempThresholdDialog&)> runTempDialog_;
    std::optional<bool> fanSubmenus_;
    std::unique_ptr<QMenu> menu_;
    bool menuOpen_ = false;
    // Set while the boost hands a command to performWrite: the write path then knows it
    // for the boost's.
    bool boostWriting_ = false;
    StandingPoll* standingPoll_ = nullptr;  // from launch on
    StandingSettings standing_;
    DaemonFans daemonFans_;  // the last answer, for the tooltip
};
