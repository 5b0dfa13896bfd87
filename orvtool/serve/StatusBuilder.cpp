#include "StatusBuilder.h"

#include <cmath>
#include <exception>

#include "FanController.h"
#include "FanKeeper.h"
#include "KeeperFans.h"
#include "ServeLeases.h"
#include "StandingFans.h"

namespace orvtool {

namespace {

using protocol::FanControl;

// A reading that is no number (a broken key) is no reading.
std::optional<double> finite(std::optional<double> value) {
    if (value && !std::isfinite(*value)) return std::nullopt;
    return value;
}

// Seconds from `now` until `end`, to a tenth, never below 0.
double secondsLeft(std::chrono::steady_clock::time_point end,
                   std::chrono::steady_clock::time_point now) {
    const double left = std::chrono::duration<double>(end - now).count();
    return left <= 0 ? 0 : std::round(left * 10) / 10;
}

}  // namespace

void assignControl(protocol::FanState& state, const FanHolders& holders) {
    state.uid.reset();
    state.lease = false;
    state.setting.reset();
    if (holders.standing) {
        state.control = holders.standing->kind == protocol::Standing::Kind::curve
                            ? FanControl::curve
                            : FanControl::floor;
        state.setting = protocol::formatStanding(*holders.standing);
    } else if (holders.keptFor && holders.leaseHolder) {
        state.control = FanControl::lease;
        state.uid = *holders.leaseHolder;
        state.lease = true;
    } else if (holders.keptFor) {
        state.control = FanControl::set;
        state.uid = *holders.keptFor;
    } else if (state.forced && !holders.handingBack) {
        state.control = FanControl::set;  // forced on the SMC itself: nobody the daemon knows
    } else {
        state.control = FanControl::automatic;
    }
}

protocol::StatusReport buildStatus(const DaemonFacts& facts, FanController& ctl, KeeperFans& fans,
                                   const FanKeeper& keeper, const ServeLeases& leases,
                                   const StandingFans& standing,
                                   std::chrono::steady_clock::time_point now) {
    protocol::StatusReport r;
    r.version = ORVANE_VERSION;
    r.started = facts.started;
    r.pid = facts.pid;
    if (facts.ownerUid >= 0) r.ownerUid = facts.ownerUid;
    r.leaseGrace = static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(facts.leaseGrace).count());

    const LeaseTable& table = leases.table();
    for (int fan = 0; fan < ctl.numberOfFans(); ++fan) {
        const FanReadout reading = ctl.readout(fan);
        protocol::FanState state;
        state.fan = fan;
        state.name = ctl.fanName(fan);
        state.current = finite(reading.current);
        state.target = finite(reading.target);
        state.minimum = finite(reading.minimum);
        state.maximum = finite(reading.maximum);
        state.forced = reading.forced.value_or(false);
        assignControl(state, {standing.setting(fan), keeper.keptFor(fan), table.holderOf(fan),
                              keeper.handBackOutstanding(fan)});
        r.fans.push_back(std::move(state));
    }

    for (const LeaseTable::User& user : table.users()) {
        protocol::LeaseState lease;
        lease.uid = user.uid;
        lease.connections = user.open;
        for (const LeaseTable::Fan& fan : user.fans)
            lease.fans.push_back(fan.fan);
        if (user.graceEnd) lease.graceLeft = secondsLeft(*user.graceEnd, now);
        r.leases.push_back(std::move(lease));
    }

    r.guard.tripped = keeper.guardTripped();
    try {
        r.guard.celsius = fans.hotter();
    } catch (const std::exception&) {
        // No reading: null.
    }
    r.guard.tripCelsius = FanKeeper::kHotCelsius;
    r.guard.coolCelsius = FanKeeper::kCoolCelsius;

    const FanKeeper::Counts& counts = keeper.counts();
    protocol::StatusCounters& c = r.counters;
    c.setAgainWake = counts.setAgainWake;
    c.setAgainChange = counts.setAgainChange;
    c.handBackLease = leases.handedBackCount();
    c.handBackGuard = counts.handBackGuard;
    c.handBackSleep = counts.handBackSleep;
    c.handBackGivenUp = counts.givenUp;
    c.refusedConnections = facts.refusedConnections;
    c.refusedRequests = facts.refusedRequests;
    c.guardTrips = counts.guardTrips;
    return r;
}

}  // namespace orvtool
