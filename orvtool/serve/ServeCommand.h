// The daemon's commands: the reply each request gets, and what it does to the fans.
#pragma once

#include <string>

#include "Reply.h"
#include "Request.h"

class FanController;

namespace orvtool {

class ForcedFans;

// The reply to one request. Its only side effects are the FanController calls the command
// asks for (`quit` hands every fan back through `fans`). `hold` concerns its connection and
// is answered by the loop: here it is an unknown command.
protocol::Reply serveCommand(const Request& request, FanController& ctl, ForcedFans& fans);

// serveCommand of one trimmed request line, for a server that keeps no forced mark.
protocol::Reply serveCommand(const std::string& line, FanController& ctl);

// Whether the peer user `uid` is root or the user who started the daemon (`ownerUid`, -1:
// none): who may stop the daemon and set or end the fans' standing settings.
bool rootOrOwner(long uid, long ownerUid);

// The reply to a request of the peer user `uid` on a daemon started by `ownerUid` (-1:
// by root alone): serveCommand, except that `quit` is refused to anyone but root and the
// owner, and the daemon then serves on. `set` and `auto` are open to every user.
protocol::Reply serveRequest(const Request& request, FanController& ctl, ForcedFans& fans, long uid,
                             long ownerUid);

}  // namespace orvtool
