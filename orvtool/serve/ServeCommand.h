// The daemon's protocol: lines framed out of a connection's bytes, each trimmed into a
// request, and the one reply line each request gets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class FanController;

namespace orvtool {

// The reply (without its line feed) to one trimmed request line. Its only side effects are
// the FanController calls the command asks for. `hold` concerns its connection and is
// answered by the loop (isHoldRequest).
std::string serveCommand(const std::string& line, FanController& ctl);

// The reply to a request of the peer user `uid` on a daemon started by `ownerUid` (-1:
// by root alone): serveCommand, except that `quit` is refused to anyone but root and the
// owner, and the daemon then serves on. `set` and `auto` are open to every user.
std::string serveRequest(const std::string& line, FanController& ctl, long uid, long ownerUid);

// Whether a request is `hold` (further words are ignored, as for `ping`), and its reply,
// which tells the grace period in seconds.
bool isHoldRequest(std::string_view line);
std::string holdReply(int graceSeconds);

// What an answered request did to the fans, read from its reply: a fan forced at the speed
// written, one fan or every fan handed back, or nothing (errors included).
struct FanEffect {
    enum Kind { none, forced, handedBack, allHandedBack } kind = none;
    int fan = 0;
    std::int64_t rpm = 0;
};
FanEffect fanEffect(std::string_view reply);

// The request text of one received line (line feed removed): nothing when the bytes are
// not valid UTF-8 or nothing is left after trimming space separators (Zs) and tabs from
// both ends. Carriage return and other characters are kept.
std::optional<std::string> requestText(std::string_view line);

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

}  // namespace orvtool
