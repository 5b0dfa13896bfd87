// The daemon's answer to `status` (protocol/Status.h): the fans as the SMC reads them now and
// who holds each, the leases, the heat guard and what the daemon did since it started, taken
// from the parts that keep them. Building it changes nothing and writes nothing to the SMC.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "Curves.h"
#include "Status.h"

class FanController;

namespace orvtool {

class FanKeeper;
class KeeperFans;
class ServeLeases;
class StandingFans;

// Who the daemon's books say holds a fan, beside what the SMC reads.
struct FanHolders {
    std::optional<protocol::Standing> standing;  // the setting that runs it
    std::optional<long> keptFor;                 // the keeper keeps it forced for this user
    std::optional<long> leaseHolder;             // a lease of this user covers it
    bool handingBack = false;                    // a hand-back of it is being retried
};

// Sets the fan's control, uid, lease and setting. A standing setting comes first (the daemon
// runs the fan, even while the guard or a lost source leaves it to the SMC); then a fan the
// keeper keeps, by its lease when one covers it, else as a plain `set` of its requester; a
// fan the SMC reads forced that the daemon neither keeps nor is handing back was forced on
// the SMC directly (root) and is a `set` of nobody; anything else is the SMC's own.
void assignControl(protocol::FanState& state, const FanHolders& holders);

// What the daemon knows of itself, and the counts kept outside the parts below.
struct DaemonFacts {
    std::int64_t started = 0;  // Unix time
    long pid = 0;
    long ownerUid = -1;  // -1: none
    std::chrono::milliseconds leaseGrace{0};
    std::uint64_t refusedConnections = 0, refusedRequests = 0;
};

// The report at `now`. `fans` is the keeper's view of the same controller, for the hotter of
// the CPU and GPU temperatures.
protocol::StatusReport buildStatus(const DaemonFacts& facts, FanController& ctl, KeeperFans& fans,
                                   const FanKeeper& keeper, const ServeLeases& leases,
                                   const StandingFans& standing,
                                   std::chrono::steady_clock::time_point now);

}  // namespace orvtool
