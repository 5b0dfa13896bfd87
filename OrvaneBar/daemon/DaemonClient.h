// The client of the control daemon's socket: one request and one reply line per
// connection, the liveness probe, and bringing the daemon up.
//
// Every exchange is bounded in time (connecting, sending and receiving together), so a
// daemon that accepts but never answers cannot freeze the caller. Such a daemon is told
// apart from one that is not there: a socket nobody listens at is "down" and may be
// started, while a daemon that takes the connection and stays silent is "unresponsive",
// and no second daemon is started over it (a new one would take over the socket path and
// leave the silent one running, possibly holding fans).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "DaemonReply.h"
#include "PrivilegedLauncher.h"

class QObject;

enum class DaemonStatus {
    alive,         // answered "ping" with a line starting "OK"
    down,          // nothing listens, or the reply was not "OK…"
    unresponsive,  // took the connection but gave no complete reply in time
};

class DaemonClient {
  public:
    // Everything the client depends on; the application uses the defaults, tests replace
    // them. Empty functions take their defaults.
    struct Options {
        std::string socketPath;                 // empty: AppPaths::socketPath
        std::function<std::string()> toolPath;  // AppPaths::orvtoolPath
        std::string plistPath;                  // empty: the control service's property list
        std::function<bool()> kickstart;        // LaunchDaemonManager::kickstartIfInstalled
        PrivilegedLauncher launcher;            // runAsAdministrator
        int probes = 20;                        // probes after a start, one more at the end
        std::chrono::milliseconds pollInterval{250};
        std::chrono::milliseconds exchangeTimeout{3000};  // per exchange, all steps together
    };

    // How one exchange went.
    struct Exchange {
        enum class Outcome {
            noDaemon,       // the socket could not be made or connected
            noReplyInTime,  // connected, but the reply did not end within the time limit
            replied,        // the reply ended (line feed, end of stream or read error)
        };
        Outcome outcome = Outcome::noDaemon;
        // The first reply line without its line feed; none unless replied with valid UTF-8.
        std::optional<std::string> line;
    };

    DaemonClient();
    explicit DaemonClient(Options options);

    // One exchange on a fresh connection: sends command plus a line feed and returns the
    // first reply line, or none (no daemon, no reply in time, or invalid UTF-8).
    // Blocking for at most the exchange time limit; any thread.
    std::optional<std::string> send(const std::string& command) const;
    Exchange exchange(const std::string& command) const;

    // The liveness probe ("ping").
    DaemonStatus probe() const;
    bool isAlive() const { return probe() == DaemonStatus::alive; }

    // Brings the daemon up when it is down: nothing when it is alive or unresponsive;
    // else, when the tool exists, the installed service is kick-started or the tool is
    // started as root, then probed until it answers (20 probes 0.25 s apart, then one
    // more). Blocks for seconds and may show the password prompt: background work only.
    // Start attempts of one client run one after another, so a second attempt finds the
    // daemon the first one started instead of starting another over it.
    DaemonStatus ensureRunning() const;

    // Runs ensureRunning on a new background thread and calls `then` with its result on
    // the main thread, with one queued call. `then` is dropped when `context` (a
    // main-thread object) is gone by then. The work holds the client weakly: a client
    // destroyed before the work starts gives `down`.
    void ensureRunningAsync(QObject* context, std::function<void(DaemonStatus)> then) const;

    // The tool path in effect (the start-failure alert names it).
    std::string toolPath() const;
    const Options& options() const { return shared_->options; }

  private:
    struct Shared {
        explicit Shared(Options o) : options(std::move(o)) {}
        const Options options;
        std::mutex startMutex;
    };
    static DaemonStatus ensureRunning(Shared& shared);
    std::shared_ptr<Shared> shared_;
};

// The write commands, without their line feed: "set 0 3480", "auto 1", "auto".
std::string setCommand(std::int64_t fan, std::int64_t rpm);
std::string autoCommand(std::int64_t fan);
inline constexpr const char* allAutoCommand = "auto";
