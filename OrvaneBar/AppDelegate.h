// The application controller: owns the fan controller, builds the status item and its
// menu once at launch, and refreshes everything twice a second on the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DaemonClient.h"
#include "FanController.h"
#include "FanRowView.h"
#include "LaunchDaemonManager.h"
#include "LoginItem.h"
#include "MainQueue.h"
#include "MenuModel.h"

class QAction;
class QMenu;
class QTimer;
class StatusItem;

// A fan's state recorded before the temperature boost took it over.
struct PreBoostState {
    bool forced = false;
    std::int64_t targetRPM = 0;
};

class AppDelegate : public FanRowDelegate {
  public:
    // What tests and unattended runs replace; the application uses the defaults.
    struct Seams {
        std::string launchDaemonPlistPath = LaunchDaemonManager::defaultPlistPath;
        MainQueue* queue = nullptr;  // none: the main thread's queue
        bool showStatusItem = true;  // false: build everything but keep the icon out of the tray
    };

    // Opens the SMC; raises SMCError when it cannot (the caller reports it and exits).
    AppDelegate();
    explicit AppDelegate(Seams seams);
    ~AppDelegate() override;

    // Builds the status item and the menu, refreshes once and starts the refresh timer.
    void applicationDidFinishLaunching();
    // Stops the refresh timer.
    void applicationWillTerminate();

    // FanRowDelegate.
    void manualModeChanged(std::int64_t fan, bool manual) override;
    void sliderChanged(std::int64_t fan, std::int64_t rpm) override;

    // Menu actions.
    void restoreAllAuto();
    void toggleTempBoost();
    void setTempThreshold();
    void toggleLaunchDaemon();
    void toggleLoginItem();
    void quitApp();

    // Temperature boost.
    void handleTempBoost(std::optional<double> cpu, std::optional<double> gpu);
    double tempBoostStartTemp() const;
    std::string tempBoostMenuTitle() const;

    // The status item's menu (none before launch has finished).
    QMenu* menu() const { return menu_.get(); }

    FanController ctl;
    StatusItem* statusItem = nullptr;
    std::vector<FanRowView*> fanRows;
    QAction* tempItem = nullptr;
    QAction* loginMenuItem = nullptr;
    LoginItem loginItem;
    DaemonClient daemon;
    LaunchDaemonManager launchDaemon;
    QAction* launchDaemonMenuItem = nullptr;
    QTimer* refreshTimer = nullptr;
    bool tempBoostActive = false;
    std::optional<std::vector<PreBoostState>> preBoostStates;
    QAction* tempBoostMenuItem = nullptr;
    std::string lastTitle;
    std::int64_t currentStep = -1;

    static constexpr int refreshIntervalMs = 500;

  private:
    friend class AppDelegateTest;

    // One tick: rows, status title, temperature line, login check mark, boost.
    void refresh();
    void buildMenu();
    void addMenuItem(const MenuEntry& entry);
    using Method = void (AppDelegate::*)();
    static Method methodFor(MenuAction action);

    MainQueue& queue_;
    bool showStatusItem_;
    std::unique_ptr<QMenu> menu_;
};
