// Bringing the control daemon up: through the installed service when its property list is
// there, else by running the tool as root after the administrator prompt; then probing
// until it answers.
//
// A daemon that answers, is busy, stays silent or is another user's listener is left
// alone: starting one over it would take over the socket path and leave the first running,
// possibly holding fans, or hand a password prompt to a stranger's socket.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "DaemonClient.h"
#include "PrivilegedLauncher.h"
#include "ToolTrust.h"

class QObject;

class DaemonStarter {
  public:
    // What the start depends on; the application uses the defaults, tests replace them.
    // Empty functions take their defaults.
    struct Options {
        std::function<std::string()> toolPath;  // AppPaths::orvtoolPath
        std::string plistPath;                  // empty: the control service's property list
        std::function<bool()> kickstart;        // LaunchDaemonManager::kickstartIfInstalled
        PrivilegedLauncher launcher;            // runAsAdministrator
        int probes = 20;                        // probes after a start, one more at the end
        std::chrono::milliseconds pollInterval{250};
    };

    explicit DaemonStarter(DaemonClient client) : DaemonStarter(std::move(client), Options()) {}
    DaemonStarter(DaemonClient client, Options options);

    // Brings the daemon up when it is down: nothing when it is alive, busy, unresponsive or
    // a foreign listener holds the socket; else, when the tool exists, the installed service
    // is kick-started, or the tool, when root may run it (untrustedTool otherwise), is
    // started as root; then probed until it answers (20 probes 0.25 s apart, then one
    // more). Blocks for seconds and may show the password prompt: background work only.
    // Start attempts of one starter (and its copies) run one after another, so a second
    // attempt finds the daemon the first one started instead of starting another over it.
    DaemonStatus ensureRunning() const;

    // Runs ensureRunning on a new background thread and hands its result to `then` on the
    // main thread (MainQueue::post). `then` is dropped when `context` (a main-thread object)
    // is gone by then. The work holds the starter weakly: one destroyed before the work
    // starts gives `down`.
    void ensureRunningAsync(QObject* context, std::function<void(DaemonStatus)> then) const;

    // The tool path in effect, and whether root may run it (the alerts name them).
    std::string toolPath() const;
    ToolTrust toolTrust() const;
    const Options& options() const { return shared_->options; }
    const DaemonClient& client() const { return shared_->client; }

  private:
    struct Shared {
        Shared(DaemonClient c, Options o) : client(std::move(c)), options(std::move(o)) {}
        const DaemonClient client;
        const Options options;
        std::mutex startMutex;
    };
    static DaemonStatus ensureRunning(Shared& shared);
    std::shared_ptr<Shared> shared_;
};
