// Client side of the emulator's sockets, used by "smcemu ctl" and by the server itself to
// tell a live socket from a stale one.
#pragma once

#include <string>

namespace smcemu {

// Connects a Unix stream socket to `path`. Returns the descriptor, or -1 with `error` set.
int connectUnix(const std::string& path, std::string& error);

struct ControlReply {
    bool delivered = false;  // a reply line came back
    std::string line;        // the reply, without its newline
    std::string error;       // why there is no reply
};

// Sends one command line to the control socket at `path` and reads the reply line, giving up
// after `timeoutMs` of silence.
ControlReply sendControlLine(const std::string& path, const std::string& line,
                             int timeoutMs = 10000);

}  // namespace smcemu
