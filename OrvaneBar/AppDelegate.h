// The application controller: owns the fan controller, builds the status item and its
// menu once at launch, and refreshes everything twice a second on the main thread. Every
// change of fan state goes to the control daemon as one command (performWrite); the
// temperature boost drives the fans through the same path.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DaemonClient.h"
#include "FanController.h"
#include "FanMenu.h"
#include "FanRowView.h"
#include "LaunchDaemonManager.h"
#include "LoginItem.h"
#include "MainQueue.h"
#include "MenuModel.h"

class DaemonLease;
class QAction;
class QMenu;
class QTimer;
class StatusItem;
class TempThresholdDialog;

// A fan's state recorded before the temperature boost took it over.
struct PreBoostState {
    bool forced = false;
    std::int64_t targetRPM = 0;
};

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
        // The daemon client; an empty plistPath takes the control service's, and an empty
        // kickstart restarts the control service through launchDaemon.
        DaemonClient::Options daemon;
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

    // Write path. performWrite probes the daemon, starting it in the background when it
    // is down, and hands the command to sendWrite; sendWrite asks for the lease when it is
    // not held, sends the command to a live daemon and reports a missing reply or a
    // refused write. Both report failures in alerts.
    // Virtual so that tests can record the commands instead of sending them.
    virtual void performWrite(const std::string& command);
    void sendWrite(const std::string& command);

    // FanRowDelegate.
    void manualModeChanged(std::int64_t fan, bool manual) override;
    void sliderChanged(std::int64_t fan, std::int64_t rpm) override;

    // Menu actions. quitApp hands forced fans back to automatic control first: background
    // work starts the daemon when needed (once) and sends "auto" until a reply comes,
    // retrying every half second; the main thread waits for it at most quitWaitLimit, and
    // warns before terminating when the fans were not handed back. The lease ends last.
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
    void handleTempBoost(std::optional<double> cpu, std::optional<double> gpu);
    double tempBoostStartTemp() const;
    double tempBoostFullTemp() const;
    std::string tempBoostMenuTitle() const;
    // Sends the commands that give every fan its recorded state back.
    void restorePreBoostStates();
    // Some fan is forced: its mode bit is set, or (without a mode key) its minimum differs
    // from the original one.
    bool anyFanForced();
    // Some fan has no mode key while the original minimums do not come from the boot's
    // record: a fan forced through its minimum before this process started cannot be told
    // from an automatic one.
    bool forcedStateUncertain();

    // The status item's menu (none before launch has finished).
    QMenu* menu() const { return menu_.get(); }

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
    LaunchDaemonManager launchDaemon;
    QAction* launchDaemonMenuItem = nullptr;
    QTimer* refreshTimer = nullptr;
    DaemonLease* lease = nullptr;  // from launch on
    bool tempBoostActive = false;
    std::optional<std::vector<PreBoostState>> preBoostStates;
    QAction* tempBoostMenuItem = nullptr;
    std::string lastTitle;
    std::int64_t currentStep = -1;

    static constexpr int refreshIntervalMs = 500;

  private:
    friend class AppDelegateTest;
    friend class AppDelegateBench;

    // One tick: rows, status title, temperature line, login check mark, boost.
    void refresh();
    void buildMenu();
    // Reads every sensor into the submenu.
    void refreshSensors();
    void addMenuItem(const MenuEntry& entry);
    using Method = void (AppDelegate::*)();
    static Method methodFor(MenuAction action);

    // A user action on a fan row takes the fans back from the boost, without restoring.
    void releaseBoostHold();
    // Ends an engaged boost: clears its state, then restores the recorded fan states.
    void endTempBoost();
    void restoreStates(const std::optional<std::vector<PreBoostState>>& states);
    std::vector<PreBoostState> recordFanStates();
    // No reply to the command: the daemon took the connection and stayed silent
    // (unresponsive), or it was gone.
    void reportNoReply(const std::string& command, bool unresponsive);
    void reportBusy(const std::string& command);
    void reportForeign(const DaemonStatus& listener, const std::string& command);
    void launchDaemonOperationFinished(bool wasInstall, bool succeeded);

    MainQueue& queue_;
    bool showStatusItem_;
    std::function<void()> terminate_;
    std::chrono::milliseconds quitWaitLimit_;
    std::function<bool(TempThresholdDialog&)> runTempDialog_;
    std::optional<bool> fanSubmenus_;
    std::unique_ptr<QMenu> menu_;
    bool menuOpen_ = false;
};
