// The application's write path: every change of fan state is one command to the control
// daemon. A write probes the daemon, starts it in the background when it is down (the
// command follows once it answers), sends the command to a live daemon and reports what
// went wrong. Every step ends in one outcome, and one table turns an outcome into what the
// user sees.
//
// Runs on the main thread; only the start runs in the background, and its result comes
// back to this object, which sends the command itself.
#pragma once

#include <QObject>
#include <QPointer>
#include <cstdint>
#include <optional>
#include <string>

#include "DaemonClient.h"
#include "DaemonStarter.h"
#include "ToolTrust.h"

class DaemonLease;
class FanController;

// The command for a fan switched to automatic ("auto <fan>") or to manual: "set <fan> <rpm>"
// pinning it at the speed it runs at, its target, else its current speed, else 3000, with
// the fraction dropped.
std::string manualModeCommand(FanController& ctl, std::int64_t fan, bool manual);

// How a write went, as far as the user is concerned.
enum class WriteOutcome {
    done,              // answered (a success, or a refusal the user cannot act on): nothing shown
    noReply,           // the daemon was gone when the command was sent
    unresponsive,      // a daemon took the connection and did not answer in time
    busy,              // the daemon refused the connection for its limits
    foreign,           // another user's listener holds the socket: nothing was sent to it
    untrustedTool,     // the daemon was down and the tool is not one root may run
    notStarted,        // the daemon was down and could not be started
    writeRefused,      // the daemon runs without the rights to write the SMC
    writeUnsupported,  // the SMC driver cannot write that key, root or not
    tooHot,            // the daemon's heat guard refused a speed below the maximum
    daemonRuns,        // the daemon runs the fan by a curve or a floor this user may not end
};

// Who asked for a write. The temperature boost's own `set`s raise no alert when the heat
// guard refuses them: the boost asks again at every step on its own, the user did nothing
// an alert could answer, and the guard has just handed the fans to the SMC's automatic
// control, which runs them by temperature (the daemon logs each refusal). Nor when the
// daemon runs the fan by a curve or a floor the application had not learned of yet: the
// boost leaves such a fan alone once it knows.
enum class WriteFrom { user, boost };

// The outcome of one exchange of a command with a daemon believed alive.
WriteOutcome writeOutcome(const DaemonClient::Exchange& exchange);

// What the user is shown for an outcome of `command`: a warning's title and message; none
// for `done`. `listener` names a foreign listener; `trust` the tool, for a failed start;
// `reply` is the daemon's reply line, whose reason daemonRuns shows.
struct WriteReport {
    std::string title;
    std::string message;
};
std::optional<WriteReport> writeReport(WriteOutcome outcome, const std::string& command,
                                       const DaemonStatus& listener, const ToolTrust& trust,
                                       const std::string& reply = {});

// "<socket>被另一个用户（uid N）占用，不是以 root 运行的控制服务。\n"
std::string foreignOwnerText(const std::string& socketPath, uid_t uid);
// "不会以 root 运行 '<tool>'：<reason>\n"
std::string toolRefusalText(const ToolTrust& trust);

class WritePath : public QObject {
  public:
    WritePath(DaemonStarter starter, QObject* parent = nullptr);

    // Asked for before every write once set, so that the daemon counts the fan as the
    // lease's.
    void setLease(DaemonLease* lease);

    // Probes the daemon and sends the command when it is alive; when it is down, starts it
    // in the background and sends the command once it answers. Each call made while the
    // daemon is down starts its own attempt (the starter runs them one after another).
    void write(const std::string& command, WriteFrom from = WriteFrom::user);
    // Sends the command to a daemon believed alive and reports a missing reply or a
    // refused write; never starts the daemon and never retries.
    void send(const std::string& command, WriteFrom from = WriteFrom::user);

  private:
    // Goes on from what a probe or a start found: sends, starts (when mayStart) or reports.
    void proceed(const std::string& command, const DaemonStatus& status, bool mayStart,
                 WriteFrom from);
    void report(WriteOutcome outcome, const std::string& command, const DaemonStatus& listener = {},
                WriteFrom from = WriteFrom::user, const std::string& reply = {});

    DaemonStarter starter_;
    QPointer<DaemonLease> lease_;
};
