// The application's write path against the real daemon on an emulator whose SMC fails: the
// boost's steps and restore, the rows' writes, "恢复全部自动模式" and Quit. Only a refused write
// ("写入被拒") is shown as "写入被拒绝"; other hardware errors the daemon reports show no alert,
// except that Quit warns when the fans could not be handed back.
//
// The sweeps count the SMC calls an operation makes (from the application's own connection
// and the daemon's, in the order the emulator served them), then run it once per call
// position with that call failing, on both machine families.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QSettings>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Alerts.h"
#include "AppDelegate.h"
#include "ControlProtocol.h"
#include "DaemonClient.h"
#include "FaultRig.h"
#include "ManualQueue.h"
#include "Reply.h"
#include "SettingsKeys.h"
#include "Texts.h"

using namespace std::chrono_literals;

namespace {

const std::string kRefusedTitle = Texts::writeRejectedTitle;
const std::string kQuitFailedTitle = Texts::quitFailedTitle;

// A daemon on the emulator and an AppDelegate talking to both, with the boost enabled and
// every alert recorded instead of shown.
class AppRig : public FaultRig {
  public:
    explicit AppRig(const Machine& m) : FaultRig(m) {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        QSettings().setValue(SettingsKeys::tempBoostEnabled, true);
        setAlertPresenter([this](AlertStyle, const std::string& title, const std::string&) {
            alerts.push_back(title);
        });
        if (!daemonStarted) return;

        AppDelegate::Seams seams;
        seams.controller.recordPath = dir.filePath("fan-minimums").toStdString();
        seams.launchDaemonPlistPath = dir.filePath("service.plist").toStdString();
        seams.queue = &queue;
        seams.showStatusItem = false;
        seams.daemon = daemonOptions();
        // A daemon that went away must not be restarted behind the test's back.
        seams.starter.toolPath = [] { return std::string(ORVTOOL_BINARY); };
        seams.starter.kickstart = [] { return false; };
        seams.starter.launcher = [](const std::string&) -> std::optional<int> { return 1; };
        seams.starter.probes = 1;
        seams.starter.pollInterval = 1ms;
        seams.terminate = [this] { ++terminated; };
        seams.quitWaitLimit = 2s;
        seams.loginItem.home = dir.path().toStdString();
        seams.loginItem.service = std::shared_ptr<LoginItemService>();
        app = std::make_unique<AppDelegate>(seams);
    }
    ~AppRig() {
        app.reset();
        setAlertPresenter(printAlertToStderr);
    }

    bool started() const { return app != nullptr; }
    std::string error() const { return DaemonRig::error() + log(); }

    DaemonClient::Options daemonOptions() const {
        DaemonClient::Options options;
        options.socketPath = socket();
        return options;
    }

    QTemporaryDir dir;
    ManualQueue queue;
    std::vector<std::string> alerts;
    int terminated = 0;
    std::unique_ptr<AppDelegate> app;
};

// ---------------------------------------------------------------------------------------
// Faults that stay on a key of fan 0 for the whole operation (recent machines).

struct KeyFault {
    const char* name;
    const char* control;  // the emulator's fault command
    bool refusal;         // the daemon answers "ERR 写入被拒…"
};

const KeyFault kKeyFaults[] = {
    {"refusedModeWrite", "fault F0Md write e00002c1", true},
    {"failedModeRead", "fault F0Md read e00002bc", false},
    {"failedTargetInfo", "fault F0Tg info e00002bc", false},
    {"droppedModeCall", "fault F0Md drop", false},
};

void PrintTo(const KeyFault& fault, std::ostream* out) {
    *out << fault.control;
}

class AppKeyFaultTest : public ::testing::TestWithParam<KeyFault> {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp needs root";
        rig = std::make_unique<AppRig>(kRecent);
        ASSERT_TRUE(rig->started()) << rig->error();
    }
    std::vector<std::string> refusals(std::size_t count) const {
        return std::vector<std::string>(GetParam().refusal ? count : 0, kRefusedTitle);
    }
    std::unique_ptr<AppRig> rig;
};

TEST_P(AppKeyFaultTest, BoostStepsAndRestoreAlertOnlyOnRefusals) {
    const auto minimum = rig->emu().value("F0Mn");
    ASSERT_EQ(rig->emu().control(GetParam().control).rfind("OK", 0), 0u);
    // Two steps up, each writing both fans; fan 0's write meets the fault, fan 1's succeeds.
    rig->app->handleTempBoost(70.0, std::nullopt);
    rig->app->handleTempBoost(200.0, std::nullopt);
    EXPECT_EQ(rig->alerts, refusals(2));
    EXPECT_TRUE(rig->forced(1));
    if (GetParam().refusal) {
        EXPECT_FALSE(rig->forced(0));
    }

    // Back below the start: the recorded states (both automatic) are restored.
    rig->alerts.clear();
    rig->app->handleTempBoost(20.0, std::nullopt);
    EXPECT_EQ(rig->alerts, refusals(1));
    EXPECT_FALSE(rig->forced(1));

    // With the fault gone, a restore from the menu reaches every fan.
    rig->emu().control("fault clear");
    rig->app->restoreAllAuto();
    EXPECT_EQ(rig->forcedFans(), (std::vector<bool>{false, false}));
    // No write took the minimum path on this machine with mode keys.
    EXPECT_EQ(rig->emu().value("F0Mn"), minimum);
}

TEST_P(AppKeyFaultTest, QuitWarnsOnlyWhenTheRestoreFailsAndAlwaysTerminates) {
    rig->force(0);
    rig->force(1);
    ASSERT_EQ(rig->emu().control(GetParam().control).rfind("OK", 0), 0u);
    rig->app->quitApp();
    EXPECT_EQ(rig->terminated, 1);
    // The daemon's restore goes on past fan 0 when fan 0's restore fails: only fan 0 stays
    // forced, and Quit says so. A fault on F0Tg does not touch the restore.
    const bool restoreFails = std::string(GetParam().control).find("F0Md") != std::string::npos;
    EXPECT_EQ(rig->forcedFans(), (std::vector<bool>{restoreFails, false}));
    EXPECT_EQ(rig->alerts, std::vector<std::string>(restoreFails ? 1 : 0, kQuitFailedTitle));
}

INSTANTIATE_TEST_SUITE_P(Faults, AppKeyFaultTest, ::testing::ValuesIn(kKeyFaults),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Each SMC call of an operation failing in turn.

// One SMC call as the emulator's trace shows it.
struct Call {
    bool byDaemon = false;  // else by the application's own connection
    std::string command;    // info, read or write
    std::string key;

    bool operator==(const Call&) const = default;
    // The fan of a daemon call on a key such as "F1Md"; -1 for other keys and for calls
    // of the application.
    int daemonFan() const {
        const bool fanKey = key.size() == 4 && key[0] == 'F' && key[1] >= '0' && key[1] <= '9';
        return byDaemon && fanKey ? key[1] - '0' : -1;
    }
    std::string describe() const {
        return command + " " + key + (byDaemon ? " by the daemon" : " by the application");
    }
};

// The calls served after call number `after`.
std::vector<Call> tracedCalls(AppRig& rig, std::uint64_t after) {
    std::istringstream words(rig.emu().control("trace " + std::to_string(after)));
    std::string word;
    words >> word;  // OK
    std::vector<Call> calls;
    while (words >> word) {
        // NUMBER:PID:COMMAND:KEY; keys in these profiles hold no blanks or colons.
        std::vector<std::string> parts;
        std::istringstream fields(word);
        for (std::string part; std::getline(fields, part, ':');)
            parts.push_back(part);
        if (parts.size() != 4) continue;
        calls.push_back({std::stol(parts[1]) == rig.daemonPid, parts[2], parts[3]});
    }
    return calls;
}

// A write operation of the application: what is done before it without faults, the
// operation, and what brings every fan back afterwards without faults.
struct AppOperation {
    const char* name;
    std::function<void(AppRig&)> prepare;
    std::function<void(AppRig&)> run;
    std::function<void(AppRig&)> recover;
};

const char* const kFaults[] = {"e00002bc", "e00002c1", "drop"};

class AppFaultSweep : public ::testing::TestWithParam<const Machine*> {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp needs root";
    }

    std::unique_ptr<AppRig> rig(const AppOperation& op) {
        auto r = std::make_unique<AppRig>(*GetParam());
        EXPECT_TRUE(r->started()) << r->error();
        if (!r->started()) return nullptr;
        op.prepare(*r);
        EXPECT_TRUE(r->alerts.empty()) << op.name << ": preparing showed " << r->alerts.front();
        return r;
    }

    // The calls the operation makes without faults.
    std::vector<Call> countCalls(const AppOperation& op) {
        auto r = rig(op);
        if (!r) return {};
        const std::uint64_t before = r->calls();
        op.run(*r);
        EXPECT_TRUE(r->alerts.empty());
        const std::uint64_t made = r->calls() - before;
        std::vector<Call> calls = tracedCalls(*r, before);
        EXPECT_EQ(calls.size(), made) << "more calls than the trace keeps";
        return calls;
    }

    // Runs the operation once per call position and fault. `check` gets the rig after the
    // faulted operation, the call that failed and the fault; afterwards the operation's
    // recovery, fault-free, must leave no fan forced.
    void sweep(const AppOperation& op,
               const std::function<void(AppRig&, const Call&, const std::string&)>& check) {
        const std::vector<Call> calls = countCalls(op);
        ASSERT_FALSE(calls.empty()) << op.name;
        std::string sequence;
        for (const Call& call : calls)
            sequence += (sequence.empty() ? "" : ", ") + call.describe();
        std::printf("[sweep] %s %s: %zu calls x 3 faults: %s\n", GetParam()->profile, op.name,
                    calls.size(), sequence.c_str());
        for (const std::string fault : kFaults) {
            for (std::size_t k = 1; k <= calls.size(); ++k) {
                const Call& call = calls[k - 1];
                SCOPED_TRACE(std::string(op.name) + ", call " + std::to_string(k) + " of " +
                             std::to_string(calls.size()) + " (" + call.describe() + "): " + fault);
                auto r = rig(op);
                ASSERT_TRUE(r);
                ASSERT_EQ(r->emu()
                              .control("fault call " + std::to_string(k) + " " + fault)
                              .rfind("OK", 0),
                          0u);
                const std::uint64_t before = r->calls();
                op.run(*r);
                // The fault hit the call the count found in this position.
                const std::vector<Call> made = tracedCalls(*r, before);
                ASSERT_GE(made.size(), k);
                ASSERT_EQ(made[k - 1], call);
                check(*r, call, fault);

                r->emu().control("fault clear");
                r->alerts.clear();
                op.recover(*r);
                EXPECT_TRUE(r->alerts.empty());
                EXPECT_EQ(r->forcedFans(), (std::vector<bool>{false, false})) << r->log();
            }
        }
    }

    // The alerts a faulted boost write shows: "写入被拒绝" when one of the daemon's writes
    // failed (the hardware layer reports every failed write as refused, whatever its code),
    // nothing for any other failure.
    static std::vector<std::string> expectedAlerts(const Call& call) {
        const bool refused = call.byDaemon && call.command == "write";
        return refused ? std::vector<std::string>{kRefusedTitle} : std::vector<std::string>{};
    }
};

TEST_P(AppFaultSweep, BoostStepUp) {
    const AppOperation op{"boost step up", [](AppRig&) {},
                          [](AppRig& r) { r.app->handleTempBoost(70.0, std::nullopt); },
                          [](AppRig& r) { r.app->handleTempBoost(20.0, std::nullopt); }};
    sweep(op, [](AppRig& r, const Call& call, const std::string&) {
        EXPECT_EQ(r.alerts, expectedAlerts(call));
        // The step goes on past a failing fan: every fan the fault did not hit is forced.
        const int hit = call.daemonFan();
        for (int fan = 0; fan < 2; ++fan) {
            if (fan != hit) {
                EXPECT_TRUE(r.forced(fan)) << "fan " << fan;
            }
        }
    });
}

TEST_P(AppFaultSweep, BoostRestore) {
    const AppOperation op{"boost restore",
                          [](AppRig& r) { r.app->handleTempBoost(70.0, std::nullopt); },
                          [](AppRig& r) { r.app->handleTempBoost(20.0, std::nullopt); },
                          [](AppRig& r) { r.app->restoreAllAuto(); }};
    sweep(op, [](AppRig& r, const Call& call, const std::string&) {
        EXPECT_EQ(r.alerts, expectedAlerts(call));
        // Only a fan whose own restore failed may stay forced.
        const int hit = call.daemonFan();
        for (int fan = 0; fan < 2; ++fan) {
            if (fan != hit) {
                EXPECT_FALSE(r.forced(fan)) << "fan " << fan;
            }
        }
    });
}

// The daemon's "auto" tries every fan, going on past a failure: only the fan whose call
// failed stays forced.
std::vector<bool> leftForcedByAutoAll(const Call& call) {
    const int hit = call.daemonFan();
    return {hit == 0, hit == 1};
}

void forceBoth(AppRig& r) {
    r.force(0);
    r.force(1);
}

TEST_P(AppFaultSweep, RowSpeedAndRowAutomatic) {
    const AppOperation speed{"row speed", [](AppRig&) {},
                             [](AppRig& r) { r.app->sliderChanged(0, 4000); },
                             [](AppRig& r) { r.app->restoreAllAuto(); }};
    sweep(speed, [](AppRig& r, const Call& call, const std::string&) {
        EXPECT_EQ(r.alerts, expectedAlerts(call));
        EXPECT_FALSE(r.forced(1));
    });
    const AppOperation automatic{"row automatic", forceBoth,
                                 [](AppRig& r) { r.app->manualModeChanged(0, false); },
                                 [](AppRig& r) { r.app->restoreAllAuto(); }};
    sweep(automatic, [](AppRig& r, const Call& call, const std::string&) {
        EXPECT_EQ(r.alerts, expectedAlerts(call));
        EXPECT_EQ(r.forcedFans(), (std::vector<bool>{call.daemonFan() == 0, true}));
    });
}

TEST_P(AppFaultSweep, RestoreAllFromTheMenu) {
    const AppOperation op{"restore all", forceBoth, [](AppRig& r) { r.app->restoreAllAuto(); },
                          [](AppRig& r) { r.app->restoreAllAuto(); }};
    sweep(op, [](AppRig& r, const Call& call, const std::string&) {
        EXPECT_EQ(r.alerts, expectedAlerts(call));
        EXPECT_EQ(r.forcedFans(), leftForcedByAutoAll(call)) << r.log();
    });
}

TEST_P(AppFaultSweep, Quit) {
    const AppOperation op{"quit", forceBoth, [](AppRig& r) { r.app->quitApp(); },
                          [](AppRig& r) {
                              // What is left forced is handed back when the daemon stops.
                              DaemonClient client(r.daemonOptions());
                              EXPECT_EQ(client.send(std::string(protocol::kQuit)),
                                        protocol::formatReply(protocol::Reply::bye()));
                              EXPECT_EQ(r.daemon().finish(), 0);
                          }};
    sweep(op, [](AppRig& r, const Call& call, const std::string&) {
        EXPECT_EQ(r.terminated, 1);
        // A failed read of the application's own still finds a forced fan (or a fan without
        // a mode key), so the restore is asked for and reaches both fans.
        const std::vector<bool> left = leftForcedByAutoAll(call);
        EXPECT_EQ(r.forcedFans(), left) << r.log();
        // Quit warns exactly when the daemon's restore failed.
        const bool failed = left[0] || left[1];
        EXPECT_EQ(r.alerts, std::vector<std::string>(failed ? 1 : 0, kQuitFailedTitle));
    });
}

INSTANTIATE_TEST_SUITE_P(Machines, AppFaultSweep, ::testing::Values(&kRecent, &kOlder),
                         [](const auto& info) { return std::string(info.param->name); });

}  // namespace
