// The control daemon: a Unix-domain socket at ORVANE_SOCKET_PATH, one connection at a
// time on one thread, one text command a line, one reply line per command.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

class FanController;

inline constexpr const char* ORVANE_SOCKET_PATH = "/tmp/orvane.sock";

namespace orvtool {

// Runs the daemon. Returns (always 1) only when start-up or accept fails; `quit`, SIGINT
// and SIGTERM end the process with status 0 after restoring automatic control.
int cmdServe(FanController& ctl);

// Serves one accepted connection until the peer closes it or a read fails. Ends the
// process on `quit` or a stop signal.
void serveClient(int fd, FanController& ctl);

// Hands every fan back to automatic control for a stop, going on past fans that fail.
void restoreEveryFan(FanController& ctl);

// The reply (without its line feed) to one trimmed request line. Its only side effects are
// the FanController calls the command asks for.
std::string serveCommand(const std::string& line, FanController& ctl);

// The request text of one received line (line feed removed): nothing when the bytes are
// not valid UTF-8 or nothing is left after trimming space separators (Zs) and tabs from
// both ends. Carriage return and other characters are kept.
std::optional<std::string> requestText(std::string_view line);

// Bounds that keep one client from holding the daemon or its memory.
struct ServeLimits {
    // Bytes received without a line feed at which the connection is dropped unexecuted.
    std::size_t maxPending = 4096;
    // Milliseconds without any received byte (or while a reply cannot be sent) after which
    // the connection is dropped. Generous: the application's client sends at once.
    int idleMs = 30'000;
};

// Splits the bytes of one connection, received in any pieces, into lines. A line is
// everything before a line feed, without it; the bytes after the last line feed wait for
// more. The connection is overlong once, after taking every complete line out, at least
// `maxPending` bytes still wait.
class RequestFramer {
  public:
    explicit RequestFramer(std::size_t maxPending) : maxPending_(maxPending) {}

    void append(std::string_view received) { pending_.append(received); }
    // The next complete line; none when no line feed is left (the bytes taken out so far
    // are then dropped). The view holds until the next call.
    std::optional<std::string_view> nextLine();
    bool overlong() const { return pending_.size() - start_ >= maxPending_; }

  private:
    std::size_t maxPending_;
    std::string pending_;
    std::size_t start_ = 0;
};

// How serving one connection ended.
enum class ClientEnd {
    closed,    // the peer closed or a read failed
    quit,      // a `quit` was answered
    stop,      // SIGINT or SIGTERM arrived
    overlong,  // a line grew past ServeLimits::maxPending
    idle,      // nothing arrived for ServeLimits::idleMs
};

// The loop of serveClient without its ending: reads, answers and logs lines until the
// connection ends, and tells how. serveClient adds what each ending does to the process.
ClientEnd serveConnection(int fd, FanController& ctl, const ServeLimits& limits = {});

}  // namespace orvtool
