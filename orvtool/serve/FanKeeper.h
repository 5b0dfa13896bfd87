// What the daemon keeps of the fans it was asked to force, and the rules it keeps them by.
//
// Per fan: the last request that forced it (the speed written, who asked), the attempts to
// set it again, and fans whose hand-back failed, to try again. Once a second, within the
// daemon's poll loop, each kept fan is read: one the SMC no longer holds at the speed asked
// is set again (at most one attempt every 5 s; after three failed attempts in a row the fan
// is given up and left to the SMC); one forced at another speed (by root on the SMC itself)
// is no longer kept. A failed hand-back is tried again every 5 s until the fan reads
// automatic. Before sleep every kept fan is handed back; 3 s after a wake (reported, or
// found by the clock that counts sleep) the SMC is opened anew and they are set again. The
// heat guard hands back fans forced below their maximum when the hotter of CPU and GPU stays
// at or above 95 °C for 5 s, and refuses such a `set` until it is below 90 °C.
//
// While nothing is kept, no hand-back is outstanding and the guard has not tripped, the
// keeper reads nothing: an idle daemon makes no SMC call. A `set` below the maximum then
// reads the temperatures itself, and a reading at 95 °C or above trips the guard at once
// (how long the machine has been hot is not known).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "KeeperFans.h"

namespace orvtool {

class DaemonLog;

class FanKeeper {
  public:
    using Clock = std::chrono::steady_clock;

    static constexpr auto kCheckEvery = std::chrono::seconds(1);
    static constexpr auto kAttemptEvery = std::chrono::seconds(5);
    static constexpr int kAttempts = 3;
    static constexpr auto kWakeDelay = std::chrono::seconds(3);
    // Growth of the slept time between two checks that counts as a wake.
    static constexpr double kSleptWake = 0.5;
    static constexpr double kHotCelsius = 95;
    static constexpr auto kHotFor = std::chrono::seconds(5);
    static constexpr double kCoolCelsius = 90;

    // `released` is told of a fan that is no longer the daemon's (given up, or handed back
    // by a retry or the guard): it leaves the forced mark and the leases. `sleptSeconds` is
    // the platform's slept-time clock (power::sleptSeconds).
    FanKeeper(KeeperFans& fans, DaemonLog& log, std::function<void(int fan)> released,
              std::function<double()> sleptSeconds);

    // The books of answered requests. A fan forced at `rpm` (the speed written) for `uid`;
    // a fan or every fan asked back (`done`: the hand-back succeeded; a failed one is tried
    // again; `mayBeForced`: the fans the daemon may have forced, for a failed `auto`).
    void forced(int fan, std::int64_t rpm, long uid, Clock::time_point now);
    void handBackAsked(int fan, bool done, Clock::time_point now);
    void allHandBackAsked(bool done, const std::set<int>& mayBeForced, Clock::time_point now);
    // A fan handed back otherwise (a lease's grace): no longer kept; `done` false: to retry.
    void handedBackElsewhere(int fan, bool done, Clock::time_point now);

    // Whether the heat guard refuses a `set` of `fan` at `rpm`: only below the fan's maximum.
    bool refusesSet(int fan, std::int64_t rpm, Clock::time_point now);

    // The machine is about to sleep: every kept fan goes back to automatic control (failures
    // are tried again after wake), the requests are remembered and checks pause.
    void willSleep(Clock::time_point now);
    // The machine woke: 3 s from now (a later wake restarts the 3 s) the SMC is opened anew
    // and every kept fan set again.
    void hasWoken(Clock::time_point now);

    // The check, when due at `now`; and when it is next due (none while there is nothing to
    // keep, retry or watch).
    void tick(Clock::time_point now);
    std::optional<Clock::time_point> nextDue() const;

    // What is kept, for tests and the books: the speed a fan is kept at, and for whom.
    std::optional<std::int64_t> keptAt(int fan) const;
    std::optional<long> keptFor(int fan) const;
    bool handBackOutstanding(int fan) const { return handBacks_.count(fan) != 0; }
    bool guardTripped() const { return tripped_; }
    // Handed back for a sleep, or waiting to set the fans again after a wake.
    bool paused() const { return asleep_ || wakeAt_.has_value(); }

    // What the keeper did since the daemon started, fan by fan: set again after a wake and
    // after the SMC changed them; handed back by the heat guard and before a sleep (a failed
    // write there is tried again until it holds), and given up; and the guard's trips.
    struct Counts {
        std::uint64_t setAgainWake = 0, setAgainChange = 0;
        std::uint64_t handBackGuard = 0, handBackSleep = 0, givenUp = 0;
        std::uint64_t guardTrips = 0;
    };
    const Counts& counts() const { return counts_; }

  private:
    struct Kept {
        std::int64_t rpm = 0;
        long uid = -1;
        int failures = 0;                 // failed attempts in a row
        Clock::time_point nextAttempt{};  // the earliest next attempt
        bool verifying = false;           // an attempt was made; the next check judges it
    };

    bool watching() const { return !kept_.empty() || !handBacks_.empty() || tripped_; }
    void startWatching(Clock::time_point now);
    void wokeAt(Clock::time_point now);
    void afterWake(Clock::time_point now);
    bool reconnect();
    void check(Clock::time_point now);
    void guard(Clock::time_point now);
    void trip(double celsius, Clock::time_point now);
    // One attempt to set a kept fan again, counted in `count` when written; false when the
    // fan was given up.
    bool attempt(int fan, Kept& kept, Clock::time_point now, std::uint64_t* count);
    // A failed attempt; true when it was the last one and the fan is given up.
    bool failed(int fan, Kept& kept);
    void retryHandBacks(Clock::time_point now);
    bool belowMaximum(int fan, std::int64_t rpm);
    void log(const std::string& line);
    void logFan(int fan, const std::string& tail);

    KeeperFans& fans_;
    DaemonLog& log_;
    std::function<void(int)> released_;
    std::function<double()> sleptSeconds_;
    double slept_ = 0;

    std::map<int, Kept> kept_;
    std::map<int, Clock::time_point> handBacks_;  // fan -> next attempt
    Clock::time_point nextCheck_{};

    bool asleep_ = false;                      // handed back for a sleep; checks paused
    std::optional<Clock::time_point> wakeAt_;  // when to set the fans again after a wake
    bool reconnectNeeded_ = false;
    bool reconnectLogged_ = false;

    std::optional<Clock::time_point> hotSince_;
    bool tripped_ = false;
    Counts counts_;
};

}  // namespace orvtool
