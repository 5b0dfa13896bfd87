// The fans the daemon runs by their standing settings (protocol/Curves.h): the settings
// themselves, kept in the store (StandingStore.h) and run from the daemon's first second,
// and the requests that set, end and list them.
//
// Once a second, within the daemon's poll loop, each curve's source is read and the curve
// followed (CurveFollower.h); the fan is written when its speed moves by 50 rpm or more, or
// when the keeper (FanKeeper.h) no longer holds it at the speed written: a fan given up,
// taken back by the heat guard or forced at another speed by root is taken again, at most
// once every 10 s. A floor is a fan forced at its floor through the raised minimum, which
// the SMC's own control runs above. While the heat guard holds, nothing is written; once it
// clears, the settings take their fans again. While the machine sleeps nothing is written,
// and a curve starts its readings anew after the wake. Settings are not leased: they
// outlive every connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "CurveFollower.h"
#include "Curves.h"
#include "Reply.h"
#include "Request.h"
#include "StandingStore.h"

namespace orvtool {

class DaemonLog;
class FanKeeper;
class KeeperFans;

class StandingFans {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kEvery = std::chrono::seconds(1);
    static constexpr std::int64_t kWriteStep = 50;
    static constexpr auto kRetakeEvery = std::chrono::seconds(10);

    struct Hooks {
        // A fan is about to be forced for its setting (the forced mark; a lease forgets it).
        std::function<void(int fan)> forcing;
        // A fan went back to automatic control as its setting ended.
        std::function<void(int fan)> handedBack;
    };

    StandingFans(KeeperFans& fans, FanKeeper& keeper, DaemonLog& log, StandingStore store,
                 Hooks hooks);

    // Reads the store and runs what it holds from `now`.
    void start(Clock::time_point now);

    // A standing request (Request::Kind curve, curveOff, floor, floorOff, curves,
    // standingInvalid); `mayChange`: from root or the daemon's owner.
    protocol::Reply serve(const Request& request, bool mayChange, Clock::time_point now);

    // The setting a fan follows, if any; every fan that has one.
    std::optional<protocol::Standing::Kind> of(int fan) const;
    std::optional<protocol::Standing> setting(int fan) const;
    std::vector<int> fans() const;
    // Ends a fan's setting (stored), leaving the fan to the request that ended it.
    void end(int fan);
    void endAll();

    // The evaluation, when due at `now`, and when it is next due (none without settings).
    void tick(Clock::time_point now);
    std::optional<Clock::time_point> nextDue() const;
    // The machine woke: readings from before the sleep no longer count.
    void hasWoken();

    // The speed last written for a fan's setting, for tests and the books.
    std::optional<std::int64_t> writtenAt(int fan) const;

  private:
    struct Running {
        protocol::Standing setting;
        CurveFollower follower;
        std::optional<std::int64_t> written;  // what was written for it and the keeper keeps
        Clock::time_point retakeAt{};         // the earliest write of a fan not held
        bool sourceLost = false;              // its source gave no reading in the window
        bool writeFailed = false;             // the last write raised (logged once)
    };

    // Why words or a setting cannot be run here; none when it can.
    // `sensors`: whether the source's keys must read now (a new setting; a stored one runs
    // whenever its source reads).
    std::optional<std::string> unfit(const protocol::Standing& s, bool sensors);
    // Saves the settings; the error reply when they could not be saved.
    std::optional<protocol::Reply> store(const std::vector<protocol::Standing>& settings);
    std::vector<protocol::Standing> settings() const;
    void run(const protocol::Standing& s);
    void forget(int fan);
    void handBack(int fan, Clock::time_point now);
    protocol::Reply set(const protocol::Standing& s, Clock::time_point now);
    protocol::Reply off(int fan, protocol::Standing::Kind kind, Clock::time_point now);
    void evaluate(int fan, Running& r, Clock::time_point now);
    std::optional<double> sourceReading(const protocol::CurveSource& source);
    void write(int fan, Running& r, std::int64_t rpm, Clock::time_point now);
    void log(int fan, const std::string& tail);

    KeeperFans& fans_;
    FanKeeper& keeper_;
    DaemonLog& log_;
    StandingStore store_;
    Hooks hooks_;
    std::map<int, Running> running_;
    // Stored settings this machine cannot run (a fan it does not have): kept in the store.
    std::vector<protocol::Standing> dormant_;
    Clock::time_point next_{};
};

}  // namespace orvtool
