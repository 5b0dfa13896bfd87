#include "FanKeeper.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <vector>

#include "Log.h"
#include "SMCError.h"
#include "ServeTexts.h"

namespace orvtool {

namespace {

std::string errorText(const std::exception& e) {
    if (const auto* smc = dynamic_cast<const SMCError*>(&e)) return smc->description();
    return e.what();
}

std::string oneDecimal(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", value);
    return buf;
}

std::string fanList(const std::vector<int>& fans) {
    std::string text;
    for (const int fan : fans) {
        if (!text.empty()) text += texts::kServeLogFanSeparator;
        text += std::to_string(fan);
    }
    return text;
}

}  // namespace

FanKeeper::FanKeeper(KeeperFans& fans, DaemonLog& log, std::function<void(int fan)> released,
                     std::function<double()> sleptSeconds)
    : fans_(fans),
      log_(log),
      released_(std::move(released)),
      sleptSeconds_(std::move(sleptSeconds)),
      slept_(sleptSeconds_()) {}

void FanKeeper::log(const std::string& line) {
    log_.write(line);
}

void FanKeeper::logFan(int fan, const std::string& tail) {
    log(texts::kServeLogKeepFan + std::to_string(fan) + tail);
}

// Checks start a second after the first thing to watch, from the slept time of then.
void FanKeeper::startWatching(Clock::time_point now) {
    if (watching()) return;
    slept_ = sleptSeconds_();
    nextCheck_ = now + kCheckEvery;
}

void FanKeeper::forced(int fan, std::int64_t rpm, long uid, Clock::time_point now) {
    startWatching(now);
    kept_[fan] = Kept{rpm, uid, 0, now, false};
    handBacks_.erase(fan);
}

void FanKeeper::handBackAsked(int fan, bool done, Clock::time_point now) {
    handedBackElsewhere(fan, done, now);
}

void FanKeeper::handedBackElsewhere(int fan, bool done, Clock::time_point now) {
    kept_.erase(fan);
    if (done) {
        handBacks_.erase(fan);
        return;
    }
    startWatching(now);
    handBacks_[fan] = now + kAttemptEvery;
}

void FanKeeper::allHandBackAsked(bool done, const std::set<int>& mayBeForced,
                                 Clock::time_point now) {
    if (done) {
        kept_.clear();
        handBacks_.clear();
        return;
    }
    // Which fans failed is not known here: each fan that may be forced is tried again, and
    // one that is already automatic passes its retry at once.
    std::set<int> retry = mayBeForced;
    for (const auto& [fan, kept] : kept_)
        retry.insert(fan);
    kept_.clear();
    for (const int fan : retry)
        handedBackElsewhere(fan, false, now);
}

bool FanKeeper::belowMaximum(int fan, std::int64_t rpm) {
    const double lo = fans_.minRPM(fan);
    const double hi = fans_.maxRPM(fan);
    if (!std::isfinite(lo) || !std::isfinite(hi)) return false;  // the set itself refuses
    double v = static_cast<double>(rpm);
    if (v <= lo) v = lo;
    if (hi < v) v = hi;
    return std::trunc(v) < std::floor(hi);
}

bool FanKeeper::refusesSet(int fan, std::int64_t rpm, Clock::time_point now) {
    if (fan < 0 || fan >= fans_.count()) return false;  // answered by the set's own error
    try {
        if (!belowMaximum(fan, rpm)) return false;
        // Not watched while idle: a hot reading now trips the guard.
        if (!tripped_ && kept_.empty()) {
            const std::optional<double> t = fans_.hotter();
            if (t && *t >= kHotCelsius) {
                // Watched from now on (from the slept time of now), until it cools.
                startWatching(now);
                trip(*t, now);
            }
        }
    } catch (const std::exception&) {
        // Limits and readings that cannot be had set no guard.
    }
    return tripped_;
}

void FanKeeper::willSleep(Clock::time_point now) {
    if (kept_.empty()) return;
    std::vector<int> done;
    for (auto& [fan, kept] : kept_) {
        kept.verifying = false;
        ++counts_.handBackSleep;
        try {
            fans_.handBack(fan);
            done.push_back(fan);
        } catch (const std::exception& e) {
            logFan(fan, texts::kServeLogKeepHandBackFailed + errorText(e));
            handBacks_[fan] = now;
        }
    }
    asleep_ = true;
    log(texts::kServeLogSleep + fanList(done) + texts::kServeLogSleepTail);
}

void FanKeeper::hasWoken(Clock::time_point now) {
    log(texts::kServeLogWake);
    wokeAt(now);
}

void FanKeeper::wokeAt(Clock::time_point now) {
    wakeAt_ = now + kWakeDelay;
    asleep_ = true;
    reconnectNeeded_ = true;
    reconnectLogged_ = false;
    slept_ = sleptSeconds_();
}

bool FanKeeper::reconnect() {
    if (!reconnectNeeded_) return true;
    try {
        fans_.reconnect();
        reconnectNeeded_ = false;
        return true;
    } catch (const std::exception& e) {
        if (!reconnectLogged_) log(texts::kServeLogReconnectFailed + errorText(e));
        reconnectLogged_ = true;
        return false;
    }
}

void FanKeeper::afterWake(Clock::time_point now) {
    wakeAt_.reset();
    asleep_ = false;
    const bool connected = reconnect();
    std::vector<int> fans;
    for (auto it = kept_.begin(); it != kept_.end();) {
        const int fan = it->first;
        Kept& kept = it->second;
        handBacks_.erase(fan);  // set again instead
        fans.push_back(fan);
        kept.verifying = false;
        kept.nextAttempt = now + kAttemptEvery;
        const bool kept_on =
            connected ? attempt(fan, kept, now, &counts_.setAgainWake) : !failed(fan, kept);
        it = kept_on ? std::next(it) : kept_.erase(it);
    }
    if (!fans.empty()) log(texts::kServeLogWakeSet + fanList(fans));
}

bool FanKeeper::failed(int fan, Kept& kept) {
    kept.verifying = false;
    if (++kept.failures < kAttempts) return false;
    ++counts_.givenUp;
    logFan(fan,
           texts::kServeLogKeepGaveUp + std::to_string(kept.rpm) + texts::kServeLogKeepGaveUpTail);
    released_(fan);
    return true;
}

bool FanKeeper::attempt(int fan, Kept& kept, Clock::time_point now, std::uint64_t* count) {
    kept.nextAttempt = now + kAttemptEvery;
    try {
        fans_.set(fan, kept.rpm);
        kept.verifying = true;
        ++*count;
        return true;
    } catch (const std::exception& e) {
        logFan(fan, texts::kServeLogKeepSetFailed + errorText(e));
        return !failed(fan, kept);
    }
}

void FanKeeper::trip(double celsius, Clock::time_point now) {
    tripped_ = true;
    ++counts_.guardTrips;
    std::vector<int> handed;
    for (auto it = kept_.begin(); it != kept_.end();) {
        const int fan = it->first;
        bool below = true;
        try {
            below = belowMaximum(fan, it->second.rpm);
        } catch (const std::exception&) {
        }
        if (!below) {
            ++it;
            continue;
        }
        it = kept_.erase(it);
        handed.push_back(fan);
        ++counts_.handBackGuard;
        try {
            fans_.handBack(fan);
            released_(fan);
        } catch (const std::exception& e) {
            logFan(fan, texts::kServeLogKeepHandBackFailed + errorText(e));
            handBacks_[fan] = now + kAttemptEvery;
        }
    }
    const std::string t = oneDecimal(celsius);
    log(handed.empty() ? texts::kServeLogGuardTripped + t + texts::kServeLogGuardTrippedNone
                       : texts::kServeLogGuardTripped + t + texts::kServeLogGuardTrippedFans +
                             fanList(handed) + texts::kServeLogGuardTrippedTail);
}

void FanKeeper::guard(Clock::time_point now) {
    if (kept_.empty() && !tripped_) {
        hotSince_.reset();
        return;
    }
    std::optional<double> t;
    try {
        t = fans_.hotter();
    } catch (const std::exception&) {
    }
    if (!t) {
        // No reading, no guard.
        hotSince_.reset();
        if (tripped_) log(texts::kServeLogGuardNoReading);
        tripped_ = false;
        return;
    }
    if (*t >= kHotCelsius) {
        if (!hotSince_) hotSince_ = now;
        if (!tripped_ && now - *hotSince_ >= kHotFor) trip(*t, now);
        return;
    }
    hotSince_.reset();
    if (tripped_ && *t < kCoolCelsius) {
        tripped_ = false;
        log(texts::kServeLogGuardCleared + oneDecimal(*t) + texts::kServeLogGuardClearedTail);
    }
}

void FanKeeper::check(Clock::time_point now) {
    const bool connected = reconnect();
    for (auto it = kept_.begin(); it != kept_.end();) {
        const int fan = it->first;
        Kept& kept = it->second;
        std::optional<KeeperFans::Hold> hold;
        if (connected) {
            try {
                hold = fans_.holds(fan, kept.rpm);
            } catch (const std::exception&) {
                // Unreadable counts as not held.
            }
        }
        if (hold == KeeperFans::Hold::held) {
            kept.failures = 0;
            kept.verifying = false;
            ++it;
            continue;
        }
        if (hold == KeeperFans::Hold::otherSpeed) {
            logFan(fan, texts::kServeLogKeepOtherSpeed);
            it = kept_.erase(it);
            continue;
        }
        if (kept.verifying && failed(fan, kept)) {
            it = kept_.erase(it);
            continue;
        }
        bool keepOn = true;
        if (now >= kept.nextAttempt) {
            if (connected) {
                logFan(fan, texts::kServeLogKeepSetAgain + std::to_string(kept.rpm) +
                                texts::kServeLogKeepSetAgainTail +
                                std::to_string(kept.failures + 1) +
                                texts::kServeLogKeepAttemptTail);
                keepOn = attempt(fan, kept, now, &counts_.setAgainChange);
            } else {
                kept.nextAttempt = now + kAttemptEvery;
                keepOn = !failed(fan, kept);
            }
        }
        it = keepOn ? std::next(it) : kept_.erase(it);
    }
}

void FanKeeper::retryHandBacks(Clock::time_point now) {
    for (auto it = handBacks_.begin(); it != handBacks_.end();) {
        const int fan = it->first;
        if (now < it->second) {
            ++it;
            continue;
        }
        try {
            fans_.handBack(fan);
            if (fans_.readsAutomatic(fan)) {
                logFan(fan, texts::kServeLogKeepHandBackDone);
                it = handBacks_.erase(it);
                released_(fan);
                continue;
            }
        } catch (const std::exception& e) {
            logFan(fan, texts::kServeLogKeepHandBackFailed + errorText(e));
        }
        it->second = now + kAttemptEvery;
        ++it;
    }
}

void FanKeeper::tick(Clock::time_point now) {
    const std::optional<Clock::time_point> due = nextDue();
    if (!due || now < *due) return;
    nextCheck_ = now + kCheckEvery;
    if (wakeAt_) {
        if (now >= *wakeAt_) afterWake(now);
        return;
    }
    const double slept = sleptSeconds_();
    const double grew = slept - slept_;
    slept_ = slept;
    if (grew > kSleptWake) {
        log(texts::kServeLogWakeByClock + oneDecimal(grew) + texts::kServeLogWakeByClockTail);
        wokeAt(now);
        return;
    }
    if (asleep_) return;
    guard(now);
    check(now);
    if (reconnect()) retryHandBacks(now);
}

std::optional<FanKeeper::Clock::time_point> FanKeeper::nextDue() const {
    if (wakeAt_) return wakeAt_;
    if (!watching() && !asleep_) return std::nullopt;
    return nextCheck_;
}

std::optional<std::int64_t> FanKeeper::keptAt(int fan) const {
    const auto it = kept_.find(fan);
    if (it == kept_.end()) return std::nullopt;
    return it->second.rpm;
}

std::optional<long> FanKeeper::keptFor(int fan) const {
    const auto it = kept_.find(fan);
    if (it == kept_.end()) return std::nullopt;
    return it->second.uid;
}

}  // namespace orvtool
