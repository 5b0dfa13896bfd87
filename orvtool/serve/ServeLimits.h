// The bounds of the daemon's loop: what one client may take of it, and its timings.
#pragma once

#include <cstddef>

namespace orvtool {

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
    // Connections at once per peer user (root, the owner, others), and of all users but root
    // and the owner together: root and the owner keep their share however many other users
    // connect. A connection past its cap gets the busy reply and is closed.
    int perRoot = 16;
    int perOwner = 8;
    int perUser = 4;
    int total = 64;
    // Held connections (`hold`, never idle) of one user other than root and the owner, and
    // of all those users together: held connections take at most half of the shared places,
    // so the others are left for connections that end when idle and a new user always finds
    // one. A `hold` past either gets the busy reply and its connection is closed.
    int heldPerUser = 2;
    int heldTotal = 32;
    // The user who started the daemon (-1: none besides root). It may make it quit, and has
    // places no other user can take.
    long ownerUid = -1;
    // Refused connections are logged once per user in this many milliseconds; the ones
    // refused meanwhile are counted in one line at its end.
    int refusalLogMs = 60'000;
    // Lines of one connection answered before the other connections get their turn.
    int linesPerTurn = 64;
    // Milliseconds the fans of a user whose last lease (`hold`) ended wait for a new lease
    // before they go back to automatic control. A held connection is never idle.
    int leaseGraceMs = 10'000;
};

}  // namespace orvtool
