// The client of the control daemon's socket, shared by the tool and the application: one
// request and one reply line per connection, and the liveness probe. Bringing the daemon up
// is the application's (DaemonStarter).
//
// Every exchange is bounded in time (connecting, sending and receiving together), so a
// daemon that accepts but never answers cannot freeze the caller. Such a daemon is told
// apart from one that is not there: a socket nobody listens at is "down" and may be
// started, while a daemon that takes the connection and stays silent is "unresponsive",
// and no second daemon is started over it (a new one would take over the socket path and
// leave the silent one running, possibly holding fans).
//
// The daemon is asked at its socket in a root-owned directory; when nobody listens there,
// at the second address in /tmp. Only a listener running as root, or as this process's own
// user (a daemon the user started without root, which can write no fan), is talked to:
// after connecting, and before anything is sent, the peer's credentials (from the kernel)
// are checked. Another user can bind the /tmp address and answer "OK" to everything; such
// a listener gets no byte and is reported as foreign.
//
// A daemon over its connection limits answers the busy reply and closes: it is "busy",
// never taken for a missing one, so no second daemon is started and no password asked.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "DaemonReply.h"

// What a probe or a start attempt found. Compares equal only with the same kind and, for
// a foreign listener, the same uid.
struct DaemonStatus {
    enum Kind {
        alive,          // the daemon answered "ping" with a line starting "OK"
        down,           // nothing listens, or the reply was not "OK…" (nor busy)
        busy,           // the daemon is there but refused the connection for its limits
        unresponsive,   // took the connection but gave no complete reply in time
        foreign,        // the listener runs as another user than root or this one: nothing
                        // was sent to it
        untrustedTool,  // the daemon was down and the tool is not one root may run
    };
    DaemonStatus(Kind k = down, uid_t uid = 0, std::string at = {})
        : kind(k), peerUid(uid), path(std::move(at)) {}
    friend bool operator==(const DaemonStatus& a, const DaemonStatus& b) {
        return a.kind == b.kind && a.peerUid == b.peerUid;
    }

    Kind kind;
    uid_t peerUid;     // foreign: the listener's user
    std::string path;  // foreign: where it listens
};

class DaemonClient {
  public:
    // Everything the client depends on; the application uses the defaults, tests replace
    // them.
    struct Options {
        std::string socketPath;  // empty: paths::kSocketPath
        // Tried when nobody listens at socketPath. Empty: paths::kFallbackSocketPath when
        // socketPath is empty too, else none.
        std::string fallbackSocketPath;
        // The user whose listener is trusted besides root; none: this process's user.
        std::optional<uid_t> user;
        std::chrono::milliseconds exchangeTimeout{3000};  // per exchange, all steps together
    };

    // How one exchange went.
    struct Exchange {
        enum class Outcome {
            noDaemon,         // the socket could not be made or connected
            noReplyInTime,    // connected, but the reply did not end within the time limit
            replied,          // the reply ended (line feed, end of stream or read error)
            foreignListener,  // the listener is neither root nor this user (or unknown):
                              // nothing was sent
        };
        Outcome outcome = Outcome::noDaemon;
        std::string path;   // where the listener was (empty: no listener)
        uid_t peerUid = 0;  // foreignListener: the listener's user (-1 when unknown)
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
    // The same with its own time limit instead of the options' one.
    Exchange exchange(const std::string& command, std::chrono::milliseconds timeLimit) const;

    // A connection to the daemon that the caller keeps and closes (the application's
    // lease), at the daemon's address or, when nobody listens there, the fallback one, to a
    // listener an exchange would trust: connected, non-blocking and close-on-exec; -1 when
    // no such listener took it within the time limit. Nothing is sent.
    int openConnection(std::chrono::milliseconds timeLimit) const;

    // The liveness probe ("ping").
    DaemonStatus probe() const;
    bool isAlive() const { return probe() == DaemonStatus::alive; }

    const Options& options() const { return *options_; }

  private:
    std::shared_ptr<const Options> options_;
};
