// The framing of the daemon's requests: a connection's bytes, in whatever pieces they
// arrive, as lines, with a bound on a line's length.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvtool {

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
