// The daemon's listening sockets: bound at their paths (taking over whatever was left
// there), remembered, and removed at the stop only while they are still this daemon's.
#pragma once

#include <string>
#include <vector>

#include "NonCopyable.h"
#include "SocketPath.h"

namespace orvtool {

// The step at which a socket could not be had, and its errno.
struct ListenFailure {
    enum Step { socket, bind, listen } step = socket;
    int err = 0;
};

// The line that says why the daemon cannot listen at `path`.
std::string failureText(const std::string& path, const ListenFailure& failure);

class Listeners : NonCopyable {
  public:
    Listeners() = default;
    ~Listeners();

    // Listens at `path` with a non-blocking socket (so that a connection withdrawn between
    // the poll and the accept cannot leave the daemon blocked in accept, deaf to stop
    // signals); false with `failure` set when it cannot be had.
    bool listenAt(const std::string& path, ListenFailure& failure);

    const std::vector<int>& fds() const { return fds_; }
    // What the binds found at the paths, for the log after the banner.
    const std::vector<std::string>& foundLines() const { return found_; }

    // Removes the socket files that are still this daemon's.
    void removeOwnSockets();

  private:
    struct Address {
        std::string path;
        BoundSocket bound;
    };

    std::vector<Address> addresses_;
    std::vector<int> fds_;
    std::vector<std::string> found_;
};

}  // namespace orvtool
