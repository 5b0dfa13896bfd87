// Who gets a place among the daemon's connections: root, the owner and everyone else each
// have places of their own, and the other users share a total besides their own cap, of
// which held connections may take only a part. A connection past its cap is told the
// daemon is busy and closed.
#pragma once

#include <list>
#include <optional>

#include "Connection.h"
#include "ServeLimits.h"

namespace orvtool {

// Why a new connection of `uid` is refused: its own cap, or the total of the other users.
enum class Cap { own, total };

// The cap a new connection of `uid` would pass among `conns`; nothing when it is within.
std::optional<Cap> exceededCap(long uid, const std::list<Connection>& conns,
                               const ServeLimits& limits);

// Whether `hold` on a connection of `uid` that is not held yet would pass the caps on held
// connections among `conns` (root and the owner hold within their own places).
bool exceedsHeldCap(long uid, const std::list<Connection>& conns, const ServeLimits& limits);

// Tells a refused connection that the daemon is there but busy (it must not take it for a
// dead one and start another), in one line a fresh connection always has room for, and
// closes it.
void refuseBusy(int fd);

}  // namespace orvtool
