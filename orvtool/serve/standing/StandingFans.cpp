#include "StandingFans.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exception>

#include "ControlProtocol.h"
#include "FanKeeper.h"
#include "KeeperFans.h"
#include "Log.h"
#include "LogText.h"
#include "SMCError.h"
#include "ServeTexts.h"

namespace orvtool {

using protocol::Reply;
using protocol::Standing;

namespace {

std::string errorText(const std::exception& e) {
    if (const auto* smc = dynamic_cast<const SMCError*>(&e)) return smc->description();
    return e.what();
}

std::string reason(const protocol::StandingProblem& p, bool floor) {
    using Kind = protocol::StandingProblem::Kind;
    switch (p.kind) {
        case Kind::usage:
            break;
        case Kind::fan:
            return texts::kStandingNoFan + p.word;
        case Kind::source:
            return texts::kStandingSource + p.word;
        case Kind::pointCount:
            return texts::kStandingPointCount;
        case Kind::point:
            return texts::kStandingPoint + p.word;
        case Kind::temperatureRange:
            return texts::kStandingTemperature + p.word;
        case Kind::falling:
            return texts::kStandingFalling + p.word;
        case Kind::speed:
            return texts::kStandingSpeed + p.word;
    }
    return floor ? texts::kStandingFloorUsage : texts::kStandingCurveUsage;
}

bool isEntryKey(const std::string& entry) {
    return entry != protocol::kCurveCpu && entry != protocol::kCurveGpu;
}

}  // namespace

StandingFans::StandingFans(KeeperFans& fans, FanKeeper& keeper, DaemonLog& log, StandingStore store,
                           Hooks hooks)
    : fans_(fans), keeper_(keeper), log_(log), store_(std::move(store)), hooks_(std::move(hooks)) {}

void StandingFans::log(int fan, const std::string& tail) {
    log_.write(texts::kServeLogStandingSet + std::to_string(fan) + tail);
}

void StandingFans::start(Clock::time_point now) {
    if (!store_.storing()) return;
    const StandingStore::Loaded loaded = store_.load();
    if (loaded.unsafe) log_.write(texts::kServeLogStandingUnsafe + store_.dir());
    if (loaded.otherFormat) log_.write(texts::kServeLogStandingOtherFormat + store_.dir());
    if (loaded.err != 0)
        log_.write(texts::kServeLogStandingReadFailed + std::to_string(loaded.err));
    for (const auto& [number, line] : loaded.skipped)
        log_.write(texts::kServeLogStandingLine + std::to_string(number) +
                   texts::kServeLogStandingLineTail + logText(line));
    int count = 0;
    for (const Standing& s : loaded.settings) {
        std::optional<std::string> problem;
        try {
            problem = unfit(s, false);
        } catch (const std::exception&) {
            // The SMC could not tell (its index unreadable now): run it; a source that gives
            // no reading leaves the fan to the SMC.
        }
        if (problem) {
            log_.write(texts::kServeLogStandingSet + std::to_string(s.fan) +
                       texts::kServeLogStandingSetTail + logText(protocol::formatStanding(s)) +
                       texts::kServeLogStandingNotRun + logText(*problem));
            dormant_.push_back(s);
            continue;
        }
        run(s);
        ++count;
    }
    if (count > 0 || !loaded.settings.empty())
        log_.write(texts::kServeLogStandingLoaded + std::to_string(count));
    next_ = now;
}

std::optional<std::string> StandingFans::unfit(const Standing& s, bool sensors) {
    if (s.fan < 0 || s.fan >= fans_.count()) return texts::kStandingNoFan + std::to_string(s.fan);
    const int fan = static_cast<int>(s.fan);
    const double lo = fans_.minRPM(fan);
    const double hi = fans_.maxRPM(fan);
    const auto outside = [&](std::int64_t rpm) -> std::optional<std::string> {
        const auto v = static_cast<double>(rpm);
        if (std::isfinite(lo) && std::isfinite(hi) && v >= std::floor(lo) && v <= std::ceil(hi))
            return std::nullopt;
        return texts::kStandingOutside + std::to_string(rpm) + texts::kStandingOutsideFan +
               std::to_string(fan) + texts::kStandingOutsideRange +
               std::to_string(std::llround(lo)) + texts::kStandingOutsideDash +
               std::to_string(std::llround(hi)) + texts::kStandingOutsideTail;
    };
    if (s.kind == Standing::Kind::floor) {
        if (fans_.hasModeKey(fan))
            return texts::kStandingFloorModeKey + std::to_string(fan) +
                   texts::kStandingFloorModeKeyTail;
        return outside(s.floorRPM);
    }
    for (const std::string& entry : s.source.entries)
        if (sensors && isEntryKey(entry) && !fans_.hasSensor(entry))
            return texts::kStandingUnknownSensor + entry;
    for (const protocol::CurvePoint& p : s.points)
        if (auto problem = outside(p.rpm)) return problem;
    return std::nullopt;
}

std::vector<Standing> StandingFans::settings() const {
    std::vector<Standing> all = dormant_;
    for (const auto& [fan, r] : running_)
        all.push_back(r.setting);
    return all;
}

std::optional<Reply> StandingFans::store(const std::vector<Standing>& settings) {
    const int err = store_.save(settings);
    if (err == 0) return std::nullopt;
    if (err == EEXIST) return Reply::error(texts::kStandingOtherFormat);
    if (err == EPERM) return Reply::error(texts::kStandingUnsafe);
    return Reply::error(texts::kStandingNotSaved + std::to_string(err));
}

void StandingFans::run(const Standing& s) {
    const int fan = static_cast<int>(s.fan);
    const auto old = running_.find(fan);
    Running r{s, CurveFollower(s.points), std::nullopt, {}, false, false};
    if (old != running_.end()) {
        // The fan stays where it is until the new setting moves it.
        r.written = old->second.written;
        r.retakeAt = old->second.retakeAt;
    }
    running_.insert_or_assign(fan, std::move(r));
}

void StandingFans::forget(int fan) {
    running_.erase(fan);
    std::erase_if(dormant_, [fan](const Standing& s) { return s.fan == fan; });
}

Reply StandingFans::serve(const Request& request, bool mayChange, Clock::time_point now) {
    using Kind = Request::Kind;
    if (request.kind == Kind::curves) {
        std::string text;
        for (const Standing& s : settings())
            text +=
                (text.empty() ? "" : protocol::kReplyCurvesSeparator) + protocol::formatStanding(s);
        return Reply::curves(std::move(text));
    }
    if (!mayChange) return Reply::standingRefused();
    try {
        switch (request.kind) {
            case Kind::curve:
            case Kind::floor:
                return set(*request.standing, now);
            case Kind::curveOff:
            case Kind::floorOff: {
                if (request.fan < 0 || request.fan >= fans_.count())
                    return Reply::standingInvalid(texts::kStandingNoFan +
                                                  std::to_string(request.fan));
                return off(
                    static_cast<int>(request.fan),
                    request.kind == Kind::curveOff ? Standing::Kind::curve : Standing::Kind::floor,
                    now);
            }
            default:
                break;
        }
    } catch (const std::exception& e) {
        return Reply::error(errorText(e));
    }
    return Reply::standingInvalid(reason(request.problem, request.floorCommand));
}

Reply StandingFans::set(const Standing& s, Clock::time_point now) {
    if (const auto problem = unfit(s, true)) return Reply::standingInvalid(*problem);
    std::vector<Standing> next = settings();
    std::erase_if(next, [&](const Standing& o) { return o.fan == s.fan; });
    next.push_back(s);
    std::sort(next.begin(), next.end(),
              [](const Standing& a, const Standing& b) { return a.fan < b.fan; });
    if (auto failed = store(next)) return *failed;
    const int fan = static_cast<int>(s.fan);
    std::erase_if(dormant_, [fan](const Standing& o) { return o.fan == fan; });
    run(s);
    log(fan, texts::kServeLogStandingSetTail + logText(protocol::formatStanding(s)));
    next_ = now;  // run at once
    return s.kind == Standing::Kind::floor ? Reply::floor(s.fan, s.floorRPM) : Reply::curve(s.fan);
}

Reply StandingFans::off(int fan, Standing::Kind kind, Clock::time_point now) {
    const auto it = running_.find(fan);
    const bool dormant = std::any_of(dormant_.begin(), dormant_.end(), [&](const Standing& s) {
        return s.fan == fan && s.kind == kind;
    });
    const bool runs = it != running_.end() && it->second.setting.kind == kind;
    if (runs || dormant) {
        std::vector<Standing> next = settings();
        std::erase_if(next, [&](const Standing& o) { return o.fan == fan; });
        if (auto failed = store(next)) return *failed;
        const bool written = runs && it->second.written.has_value();
        forget(fan);
        log(fan, texts::kServeLogStandingEnded);
        if (written) handBack(fan, now);
    }
    return kind == Standing::Kind::curve ? Reply::curveOff(fan) : Reply::floorOff(fan);
}

void StandingFans::handBack(int fan, Clock::time_point now) {
    try {
        fans_.handBack(fan);
        keeper_.handBackAsked(fan, true, now);
        hooks_.handedBack(fan);
    } catch (const std::exception&) {
        keeper_.handBackAsked(fan, false, now);  // tried again until it reads automatic
    }
}

std::optional<Standing::Kind> StandingFans::of(int fan) const {
    const auto it = running_.find(fan);
    if (it == running_.end()) return std::nullopt;
    return it->second.setting.kind;
}

std::optional<Standing> StandingFans::setting(int fan) const {
    const auto it = running_.find(fan);
    if (it == running_.end()) return std::nullopt;
    return it->second.setting;
}

std::vector<int> StandingFans::fans() const {
    std::vector<int> all;
    for (const auto& [fan, r] : running_)
        all.push_back(fan);
    return all;
}

void StandingFans::end(int fan) {
    if (!of(fan)) return;
    forget(fan);
    log(fan, texts::kServeLogStandingEnded);
    if (const int err = store_.save(settings()); err != 0)
        log_.write(texts::kServeLogStandingSaveFailed + std::to_string(err));
}

void StandingFans::endAll() {
    for (const int fan : fans())
        end(fan);
}

std::optional<std::int64_t> StandingFans::writtenAt(int fan) const {
    const auto it = running_.find(fan);
    return it == running_.end() ? std::nullopt : it->second.written;
}

std::optional<StandingFans::Clock::time_point> StandingFans::nextDue() const {
    if (running_.empty()) return std::nullopt;
    return next_;
}

void StandingFans::hasWoken() {
    for (auto& [fan, r] : running_)
        r.follower.forget();
}

void StandingFans::tick(Clock::time_point now) {
    if (running_.empty() || now < next_) return;
    next_ = now + kEvery;
    if (keeper_.paused()) {
        hasWoken();  // what is read before a sleep says nothing of the machine after it
        return;
    }
    for (auto& [fan, r] : running_)
        evaluate(fan, r, now);
}

std::optional<double> StandingFans::sourceReading(const protocol::CurveSource& source) {
    std::optional<double> hottest;
    for (const std::string& entry : source.entries) {
        try {
            if (const auto t = fans_.temperature(entry))
                hottest = hottest ? std::max(*hottest, *t) : *t;
        } catch (const std::exception&) {
            // An entry that cannot be read leaves the others.
        }
    }
    return hottest;
}

void StandingFans::evaluate(int fan, Running& r, Clock::time_point now) {
    double speed = static_cast<double>(r.setting.floorRPM);
    if (r.setting.kind == Standing::Kind::curve) {
        if (const auto t = sourceReading(r.setting.source)) r.follower.reading(*t, now);
        const std::optional<double> asked = r.follower.speed(now);
        if (!asked) {
            // No reading for the window: the SMC's own control runs the fan meanwhile.
            if (!r.sourceLost) {
                r.sourceLost = true;
                log(fan, texts::kServeLogStandingNoSource);
                if (r.written) handBack(fan, now);
                r.written.reset();
            }
            return;
        }
        if (r.sourceLost) {
            r.sourceLost = false;
            log(fan, texts::kServeLogStandingSourceBack);
        }
        speed = *asked;
    }
    try {
        speed = std::clamp(speed, std::ceil(fans_.minRPM(fan)), std::floor(fans_.maxRPM(fan)));
    } catch (const std::exception&) {
        // The set below clamps with the limits it can read, or says why it cannot.
    }
    const auto target = static_cast<std::int64_t>(std::llround(speed));
    const std::optional<std::int64_t> kept = keeper_.keptAt(fan);
    if (keeper_.guardTripped()) {
        // Handed back by the guard: taken again once it clears.
        if (!kept) r.written.reset();
        return;
    }
    if (!r.written || kept != r.written) {
        if (now < r.retakeAt) return;
        r.retakeAt = now + kRetakeEvery;
        write(fan, r, target, now);
        return;
    }
    if (std::llabs(target - *r.written) >= kWriteStep) write(fan, r, target, now);
}

void StandingFans::write(int fan, Running& r, std::int64_t rpm, Clock::time_point now) {
    hooks_.forcing(fan);
    try {
        const std::int64_t written = fans_.set(fan, rpm);
        keeper_.forced(fan, written, 0, now);
        r.written = written;
        r.writeFailed = false;
        log(fan, texts::kServeLogStandingWrite + std::to_string(written) +
                     texts::kServeLogStandingWriteTail);
    } catch (const std::exception& e) {
        if (!r.writeFailed) log(fan, texts::kServeLogStandingWriteFailed + errorText(e));
        r.writeFailed = true;
        r.written.reset();
    }
}

}  // namespace orvtool
