// The control daemon: a Unix-domain socket at ORVANE_SOCKET_PATH, several connections
// served at once by one thread, one text command a line, one reply line per command.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

class FanController;

inline constexpr const char* ORVANE_SOCKET_PATH = "/tmp/orvane.sock";

namespace orvtool {

// Runs the daemon. Returns (always 1) only when start-up or the wait for connections fails
// (after a failure past the bind, every fan is restored and the socket removed first);
// `quit`, SIGINT, SIGTERM and SIGHUP end the process with status 0 after restoring
// automatic control. A daemon that finds the forced mark of one that ended without that
// (ForcedMark.h) hands every fan back before it serves.
int cmdServe(FanController& ctl);

// Serves one accepted connection until the peer closes it or a read fails. Ends the
// process on `quit` or a stop signal.
void serveClient(int fd, FanController& ctl);

// Hands every fan back to automatic control for a stop, going on past fans that fail;
// whether every fan went back.
bool restoreEveryFan(FanController& ctl);

// The reply (without its line feed) to one trimmed request line. Its only side effects are
// the FanController calls the command asks for.
std::string serveCommand(const std::string& line, FanController& ctl);

// The request text of one received line (line feed removed): nothing when the bytes are
// not valid UTF-8 or nothing is left after trimming space separators (Zs) and tabs from
// both ends. Carriage return and other characters are kept.
std::optional<std::string> requestText(std::string_view line);

// Bounds that keep one client from holding the daemon or its memory.
struct ServeLimits {
    // Bytes a line may have; one more without a line feed drops the connection unexecuted.
    std::size_t maxPending = 4096;
    // Milliseconds a connection may wait with nothing pending, counted from its connect or
    // its last answered request (empty and dropped lines do not count), and that a reply
    // may wait unread; past it the connection is dropped.
    int idleMs = 30'000;
    // Milliseconds within which a line must be complete, counted from its first byte.
    int lineMs = 10'000;
    // Reply bytes a client that does not read may have waiting; past it it is dropped.
    std::size_t maxOutput = 64 * 1024;
    // Connections at once per peer user (root, others), and of all users but root together:
    // root keeps its share however many other users connect.
    int perRoot = 16;
    int perUser = 4;
    int total = 64;
    // Lines of one connection answered before the other connections get their turn.
    int linesPerTurn = 64;
};

// Splits the bytes of one connection, received in any pieces, into lines. A line is
// everything before a line feed, without it; the bytes after the last line feed wait for
// more. A line may have at most `maxPending` bytes, wherever the reads split it: the
// connection is overlong once the next line, complete or not, has more.
class RequestFramer {
  public:
    explicit RequestFramer(std::size_t maxPending) : maxPending_(maxPending) {}

    void append(std::string_view received) { pending_.append(received); }
    // The next complete line of an allowed length; none when no such line is next (the
    // bytes taken out so far are then dropped). The view holds until the next call.
    std::optional<std::string_view> nextLine();
    // Whether the next line, complete or not, is longer than allowed.
    bool overlong() const { return nextLength() > maxPending_; }
    // Whether a complete line of an allowed length waits to be taken out.
    bool hasLine() const { return pending_.find('\n', start_) != std::string::npos && !overlong(); }
    // Whether bytes of an unfinished line wait.
    bool partial() const { return pending_.size() > start_; }

  private:
    // Bytes of the next line: up to its line feed, or all that wait.
    std::size_t nextLength() const {
        const std::size_t lf = pending_.find('\n', start_);
        return (lf == std::string::npos ? pending_.size() : lf) - start_;
    }

    std::size_t maxPending_;
    std::string pending_;
    std::size_t start_ = 0;
};

// How serving one connection ended.
enum class ClientEnd {
    closed,    // the peer closed or a read or send failed
    quit,      // a `quit` was answered
    stop,      // SIGINT, SIGTERM or SIGHUP arrived
    overlong,  // a line grew past ServeLimits::maxPending
    idle,      // nothing pending for ServeLimits::idleMs, or a reply unread that long
    late,      // a line not complete within ServeLimits::lineMs
    backlog,   // unread replies past ServeLimits::maxOutput
};

// Serves one connection with the daemon's loop (no listener) until it ends, and tells how.
// The descriptor stays open. serveClient adds what each ending does to the process.
ClientEnd serveConnection(int fd, FanController& ctl, const ServeLimits& limits = {});

}  // namespace orvtool
