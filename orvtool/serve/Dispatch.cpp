#include "Dispatch.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "Admission.h"
#include "FanController.h"
#include "Log.h"
#include "SMCError.h"
#include "ServeCommand.h"
#include "ServeFans.h"
#include "ServeTexts.h"
#include "Status.h"
#include "StatusBuilder.h"
#include "StopSignals.h"

namespace orvtool {

namespace {

// Bytes of a reply kept in its log line (the unknown-command reply quotes the request).
constexpr std::size_t kLogReplyBytes = kLogTextBytes + 64;

// The refusals `status` counts as refused requests: the user may not, the machine is too hot,
// the fan follows a setting, the SMC refused the write.
bool isRefusal(protocol::ReplyKind kind) {
    using protocol::ReplyKind;
    return kind == ReplyKind::quitRefused || kind == ReplyKind::tooHot ||
           kind == ReplyKind::standingRefused || kind == ReplyKind::followsCurve ||
           kind == ReplyKind::hasFloor || kind == ReplyKind::writeRefused ||
           kind == ReplyKind::writeUnsupported;
}

}  // namespace

Dispatcher::Dispatcher(FanController& ctl, const ServeLimits& limits, DaemonLog& log,
                       ForcedFans& fans, const std::list<Connection>& conns,
                       std::function<double()> sleptSeconds, const std::string& stateDir)
    : ctl_(ctl),
      limits_(limits),
      log_(log),
      fans_(fans),
      conns_(conns),
      leases_(Ms(limits.leaseGraceMs), log, fans),
      keeperFans_(ctl),
      keeper_(
          keeperFans_, log,
          [this](int fan) {
              // Given up or handed back for good: no longer the daemon's.
              fans_.handedBack(fan);
              leases_.handedBack(fan);
          },
          std::move(sleptSeconds)),
      standing_(keeperFans_, keeper_, log, StandingStore(stateDir),
                {[this](int fan) {
                     fans_.forcing(fan);
                     leases_.handedBack(fan);  // not leased: it outlives every connection
                 },
                 [this](int fan) {
                     fans_.handedBack(fan);
                     leases_.handedBack(fan);
                 }}),
      started_(static_cast<std::int64_t>(std::time(nullptr))) {
    standing_.start(Clock::now());
}

namespace {

bool isStanding(Request::Kind kind) {
    using Kind = Request::Kind;
    return kind == Kind::curve || kind == Kind::curveOff || kind == Kind::floor ||
           kind == Kind::floorOff || kind == Kind::curves || kind == Kind::standingInvalid;
}

}  // namespace

std::optional<protocol::Reply> Dispatcher::standingFirst(const Request& request, long uid,
                                                         bool rootOrOwner) {
    using Kind = Request::Kind;
    if (request.kind == Kind::autoAll) {
        // Only root's ends every setting: the owner's application sends `auto` when it quits
        // and its lease ends, which must not end the curves the owner set.
        if (uid == 0) standing_.endAll();
        return std::nullopt;
    }
    if ((request.kind != Kind::set && request.kind != Kind::autoFan) || request.fan < 0 ||
        request.fan >= ctl_.numberOfFans())
        return std::nullopt;
    const int fan = static_cast<int>(request.fan);
    const auto kind = standing_.of(fan);
    if (!kind) return std::nullopt;
    if (!rootOrOwner)
        return *kind == protocol::Standing::Kind::curve ? protocol::Reply::followsCurve(fan)
                                                        : protocol::Reply::hasFloor(fan);
    standing_.end(fan);
    return std::nullopt;
}

protocol::Reply Dispatcher::autoAllButStanding(Clock::time_point now) {
    try {
        const FanController::RestoreReport report = ctl_.restoreEveryFan(standing_.fans());
        for (const int fan : report.restored) {
            keeper_.handBackAsked(fan, true, now);
            fans_.handedBack(fan);
            leases_.handedBack(fan);
        }
        for (const FanController::RestoreFailure& failure : report.failed)
            keeper_.handBackAsked(failure.fan, false, now);
        if (report.failed.empty()) return protocol::Reply::autoAll();
        return protocol::Reply::error(report.failed.front().error.description());
    } catch (const std::exception& e) {
        return protocol::Reply::error(e.what());
    }
}

std::string Dispatcher::status(Clock::time_point now) {
    const DaemonFacts facts{started_,
                            static_cast<long>(::getpid()),
                            limits_.ownerUid,
                            Ms(limits_.leaseGraceMs),
                            refusedConnections_,
                            refusedRequests_};
    return protocol::formatStatus(
        buildStatus(facts, ctl_, keeperFans_, keeper_, leases_, standing_, now));
}

protocol::Reply Dispatcher::serve(const Request& request, Connection& c, Clock::time_point now) {
    if (request.kind == Request::Kind::status) return protocol::Reply::status(status(now));
    if (request.kind == Request::Kind::hold) {
        // Past the caps on held connections: told busy, and closed below.
        if (!c.held && exceedsHeldCap(c.uid, conns_, limits_)) return protocol::Reply::busy();
        return leases_.hold(c.uid, c.held);
    }
    const bool ruling = rootOrOwner(c.uid, limits_.ownerUid);
    if (isStanding(request.kind)) return standing_.serve(request, ruling, now);
    if (request.kind == Request::Kind::set && request.fan >= 0 &&
        request.fan < ctl_.numberOfFans() &&
        keeper_.refusesSet(static_cast<int>(request.fan), request.rpm, now))
        return protocol::Reply::tooHot();
    if (auto refused = standingFirst(request, c.uid, ruling)) return *refused;
    if (request.kind == Request::Kind::autoAll && !standing_.fans().empty())
        return autoAllButStanding(now);
    fans_.before(request);
    const protocol::Reply reply = serveRequest(request, ctl_, fans_, c.uid, limits_.ownerUid);
    fans_.after(request, reply, ctl_.numberOfFans());
    leases_.answered(c.uid, reply);
    keep(request, reply, c.uid, now);
    return reply;
}

void Dispatcher::keep(const Request& request, const protocol::Reply& reply, long uid,
                      Clock::time_point now) {
    using protocol::ReplyKind;
    const bool fanInRange = request.fan >= 0 && request.fan < ctl_.numberOfFans();
    switch (request.kind) {
        case Request::Kind::set:
            // A fan the hardware layer took is within its int range.
            if (reply.kind == ReplyKind::set)
                keeper_.forced(static_cast<int>(reply.fan), reply.rpm, uid, now);
            break;
        case Request::Kind::autoFan:
            // Even a failed `auto N` ends the request: the fan is handed back, or tried again.
            if (fanInRange)
                keeper_.handBackAsked(static_cast<int>(request.fan),
                                      reply.kind == ReplyKind::autoFan, now);
            break;
        case Request::Kind::autoAll:
            keeper_.allHandBackAsked(reply.kind == ReplyKind::autoAll, fans_.mayBeForced(), now);
            break;
        default:
            break;
    }
}

void Dispatcher::tick(Clock::time_point now) {
    for (const ServeLeases::HandBack& back : leases_.handBackDue(ctl_, now))
        keeper_.handedBackElsewhere(back.fan, back.done, now);
    keeper_.tick(now);
    standing_.tick(now);
}

std::optional<Clock::time_point> Dispatcher::nextDue() const {
    std::optional<Clock::time_point> due;
    for (const auto next : {leases_.nextDue(), keeper_.nextDue(), standing_.nextDue()})
        if (next) due = due ? std::min(*due, *next) : *next;
    return due;
}

bool Dispatcher::answer(Connection& c, Clock::time_point now) {
    bool tookLine = false;
    for (int budget = limits_.linesPerTurn; budget > 0 && !c.end; --budget) {
        if (stopRequested()) return false;
        const auto raw = c.framer.nextLine();
        if (!raw) break;
        tookLine = true;
        auto text = requestText(*raw);
        if (!text) continue;  // empty or not UTF-8: no reply, and no time is gained
        const Request request = parseRequest(std::move(*text));
        const protocol::Reply reply = serve(request, c, now);
        const std::string line = protocol::formatReply(reply);
        c.queue(line, now);
        if (isRefusal(reply.kind)) ++refusedRequests_;
        // Written once the replies of this turn are on their way (writePendingLog). The
        // state `status` reports is not the log's: its line says only that it was answered.
        const bool status = reply.kind == protocol::ReplyKind::status;
        pendingLog_.push_back(
            texts::kServeLog + logText(request.line) + texts::kServeLogArrow +
            (status ? texts::kServeLogStatusAnswered : logText(line, kLogReplyBytes)));
        if (reply.kind == protocol::ReplyKind::bye) return true;
        if (reply.kind == protocol::ReplyKind::busy) {
            ++refusedConnections_;
            // A refused lease frees its place at once, as a refused connection does.
            c.flush(now);
            c.end = ClientEnd::closed;
        }
        if (c.out.size() > limits_.maxOutput) c.end = ClientEnd::backlog;
    }
    // The unfinished line after the last complete one began with the bytes read last.
    if (tookLine && c.framer.partial()) c.lineStart = c.lastRead;
    if (!c.end && !c.framer.hasLine()) {
        if (c.framer.overlong()) {
            c.end = ClientEnd::overlong;
        } else if (c.eof && c.out.empty()) {
            c.end = ClientEnd::closed;
        }
    }
    return false;
}

void Dispatcher::writePendingLog() {
    for (const std::string& line : pendingLog_)
        log_.write(line);
    pendingLog_.clear();
}

void Dispatcher::closed(const Connection& c, Clock::time_point now) {
    if (c.held) leases_.closed(c.uid, now);
}

}  // namespace orvtool
