#include "Admission.h"

#include <unistd.h>

#include <algorithm>
#include <string>

#include "Reply.h"
#include "SocketIO.h"

namespace orvtool {

std::optional<Cap> exceededCap(long uid, const std::list<Connection>& conns,
                               const ServeLimits& limits) {
    const bool owner = uid != 0 && uid == limits.ownerUid;
    const int cap = uid == 0 ? limits.perRoot : owner ? limits.perOwner : limits.perUser;
    const auto same = std::count_if(conns.begin(), conns.end(),
                                    [uid](const Connection& c) { return c.uid == uid; });
    if (same >= cap) return Cap::own;
    if (uid == 0 || owner) return std::nullopt;
    const auto others = std::count_if(conns.begin(), conns.end(), [&limits](const Connection& c) {
        return c.uid != 0 && c.uid != limits.ownerUid;
    });
    if (others >= limits.total) return Cap::total;
    return std::nullopt;
}

bool exceedsHeldCap(long uid, const std::list<Connection>& conns, const ServeLimits& limits) {
    if (uid == 0 || uid == limits.ownerUid) return false;
    const auto held = [&limits](const Connection& c) {
        return c.held && c.uid != 0 && c.uid != limits.ownerUid;
    };
    const auto same = std::count_if(conns.begin(), conns.end(),
                                    [&](const Connection& c) { return held(c) && c.uid == uid; });
    return same >= limits.heldPerUser ||
           std::count_if(conns.begin(), conns.end(), held) >= limits.heldTotal;
}

void refuseBusy(int fd) {
    const std::string busy = protocol::formatReply(protocol::Reply::busy()) + "\n";
    (void)!sendNoWait(fd, busy);
    ::close(fd);
}

}  // namespace orvtool
