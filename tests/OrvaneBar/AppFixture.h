// The tray application's test set-up in one place. AppFixture gives each test a folder that
// every path of the application points into (settings, record of minimums, service files,
// daemon socket, tool, login items), records the alerts and confirmations the application
// shows, drives its timers through a manual queue, starts the emulated machine, and makes or
// launches the application from seams a test changes only where it differs. Below it: what
// the tests of both machine families read from the emulator, the alerts the application
// shows as built from its texts, and the command line of the built application inside a
// private /tmp.
//
// It lives with the application's tests, not in tests/support, because it needs the
// application's own headers and Qt, which the shared support library does not link.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AppDelegate.h"
#include "DaemonFakes.h"
#include "Emulator.h"
#include "ManualQueue.h"
#include "Reply.h"

class PrivateTmp;
class TempThresholdDialog;

// The shipped machines: both families (fans forced by a mode byte and a target, or by a
// raised minimum), and a machine with one fan.
namespace machines {
inline constexpr const char* modeKeys = "recent-2fan.prof";
inline constexpr const char* raisedMinimum = "older-2fan.prof";
inline constexpr const char* oneFan = "single-fan.prof";

// Whether a shipped profile forces its fans by mode keys.
bool hasModeKeys(const std::string& profile);
// A name for a parameterised test: "ModeKeys" or "RaisedMinimum".
std::string familyName(const std::string& profile);
}  // namespace machines

// A fan's speed as the emulator reports it (" fan0=1234rpm,..."); -1 when absent.
double emulatedRPM(Emulator& emu, int fan);
// The keys that force fans 0 and 1, in hex: the mode bytes (with fan 0's target while it is
// forced), "0100803b45 00"; or the minimums, "2ee0 1f40".
std::string forcingKeys(Emulator& emu, bool modeKeys);

// The daemon's log line for a request it served, with its reply: "[serve] set 0 5700 → OK set
// fan=0 rpm=5700".
std::string servedLine(const std::string& request, const protocol::Reply& reply);

// The alerts of the write path and of Quit, as the application's texts build them.
namespace expected {
Alert noReply(const std::string& command);
Alert unresponsive(const std::string& command);
Alert busy(const std::string& command);
Alert writeRejected();
// The start failed with a tool root may run (the hint to run it by hand), or without one
// (why it is not run).
Alert startFailed(const std::string& tool);
Alert startFailed(const std::string& tool, const std::string& reason);
Alert foreign(const std::string& socket, uid_t uid, const std::string& command);
Alert untrustedTool(const std::string& tool, const std::string& reason);
// `cause` is one of the Texts::quit* causes (they end in a line feed).
Alert quitFailed(const std::string& cause, const std::string& tool);
// The reason ToolTrust gives: "「<path>」<what>".
std::string trustReason(const std::string& path, const std::string& what);
}  // namespace expected

// A fan row's (or fan submenu's) delegate that records what it is asked.
struct RecordingDelegate : FanRowDelegate {
    std::vector<std::pair<std::int64_t, bool>> modes;
    std::vector<std::pair<std::int64_t, std::int64_t>> speeds;
    void manualModeChanged(std::int64_t fan, bool manual) override {
        modes.push_back({fan, manual});
    }
    void sliderChanged(std::int64_t fan, std::int64_t rpm) override {
        speeds.push_back({fan, rpm});
    }
};

// An application whose commands to the daemon are recorded instead of sent.
class RecordingApp : public AppDelegate {
  public:
    using AppDelegate::AppDelegate;
    void performWrite(const std::string& command) override;
    // The commands recorded since the last call.
    std::vector<std::string> take();

    std::vector<std::string> writes;
    std::function<void()> onWrite;  // run after each recorded command
};

class AppFixture : public ::testing::Test {
  protected:
    // Settings in the folder; alerts and confirmations recorded.
    void SetUp() override;
    void TearDown() override;

    // Starts the emulated machine from a shipped profile (machines::*), replacing the one
    // before; with `frozen` its clock stands still until the test steps it.
    Emulator& startMachine(const std::string& profile = machines::modeKeys, bool frozen = false);
    Emulator& startMachineFromText(const std::string& profileText);

    // The application kept inside the folder: the record of minimums, the service's
    // property list, the daemon's socket (nobody listens unless the test puts a FakeDaemon
    // there), the tool (missing until createTool), start at login without the desktop's
    // service; timers on the manual queue, no tray icon, Quit counted in `terminated`, the
    // boost dialog run by `dialogAction`. The starter gives up quickly (3 probes 1 ms apart,
    // 300 ms an exchange) and never kick-starts a service; starts go to `launcher`.
    AppDelegate::Seams seams();

    // Made from the seams, not launched: no menu, no timer, no lease.
    template <typename App = AppDelegate>
    std::unique_ptr<App> makeApp(AppDelegate::Seams s) {
        return std::make_unique<App>(std::move(s));
    }
    std::unique_ptr<AppDelegate> makeApp() { return makeApp(seams()); }

    // Made and launched (menu, first refresh, lease); with `testTicks` the refresh timer is
    // stopped, so ticks come from the test.
    template <typename App = AppDelegate>
    std::unique_ptr<App> launch(AppDelegate::Seams s, bool testTicks = false) {
        auto app = makeApp<App>(std::move(s));
        app->applicationDidFinishLaunching();
        if (testTicks) stopTicks(*app);
        return app;
    }
    std::unique_ptr<AppDelegate> launch(bool testTicks = false) {
        return launch(seams(), testTicks);
    }

    std::string path(const std::string& name) const;
    std::string socketPath() const { return path("orvane.sock"); }
    std::string plistPath() const { return path("service.plist"); }
    std::string recordPath() const { return path("fan-minimums"); }
    virtual std::string toolPath() const { return path("app/orvtool"); }
    // A tool at toolPath() (a shell script that does nothing).
    void createTool() const;

    // Waits, handling events, until at least `count` alerts were shown (10 s at most).
    bool waitForAlerts(std::size_t count);

    QTemporaryDir dir;
    ManualQueue queue;
    std::unique_ptr<Emulator> emu;
    std::vector<Alert> alerts;
    std::vector<std::string> confirmations;  // "title|message|button"
    bool confirm = true;                     // the answer to every confirmation
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
    int terminated = 0;
    std::chrono::milliseconds quitWaitLimit{10'000};
    std::function<bool(TempThresholdDialog&)> dialogAction;

  private:
    static void stopTicks(AppDelegate& app);
};

// Starts `orvtool serve` inside `tmp` as `uid`, its output appended to `logInside`, and
// waits until its socket answers; the daemon's process, or -1 (with a test failure).
pid_t startDaemonInside(PrivateTmp& tmp, const std::string& logInside, uid_t uid = 0);

// The command line that starts the built application inside a private /tmp as a desktop
// session would, through /usr/bin/env: alerts on standard error, XDG_CONFIG_HOME and the
// variables in `unset` left out, the entries of `environment` ("HOME=/tmp/home") set.
std::vector<std::string> appCommandLine(const std::vector<std::string>& environment,
                                        const std::vector<std::string>& unset = {});
