#include "Reply.h"

#include <optional>
#include <utility>

#include "ControlProtocol.h"
#include "Status.h"
#include "WholeNumber.h"

namespace protocol {

namespace {

std::optional<std::string_view> after(std::string_view line, std::string_view prefix) {
    if (line.substr(0, prefix.size()) != prefix) return std::nullopt;
    return line.substr(prefix.size());
}

// The replies that are one fixed line, and those that are a prefix and one number (the
// field of the reply it goes to): formatReply writes them from these, parseReply knows them
// by these.
struct FixedReply {
    ReplyKind kind;
    const char* line;
};
constexpr FixedReply kFixedReplies[] = {{ReplyKind::autoAll, kReplyAutoAll},
                                        {ReplyKind::bye, kReplyBye},
                                        {ReplyKind::busy, kReplyBusy},
                                        {ReplyKind::quitRefused, kReplyQuitRefused},
                                        {ReplyKind::setUsage, kReplySetUsage},
                                        {ReplyKind::tooHot, kReplyTooHot},
                                        {ReplyKind::standingRefused, kReplyStandingRefused}};

struct NumberReply {
    ReplyKind kind;
    const char* prefix;
    std::int64_t Reply::*number;
};
constexpr NumberReply kNumberReplies[] = {{ReplyKind::pong, kReplyPong, &Reply::count},
                                          {ReplyKind::hold, kReplyHold, &Reply::count},
                                          {ReplyKind::autoFan, kReplyAutoFan, &Reply::fan},
                                          {ReplyKind::curve, kReplyCurve, &Reply::fan},
                                          {ReplyKind::curveOff, kReplyCurveOff, &Reply::fan},
                                          {ReplyKind::floorOff, kReplyFloorOff, &Reply::fan}};

// A fan and a speed after a prefix: "<fan> rpm=<rpm>".
std::optional<std::pair<std::int64_t, std::int64_t>> fanAndSpeed(std::string_view rest) {
    const std::size_t split = rest.find(kReplySetRPM);
    if (split == std::string_view::npos) return std::nullopt;
    const auto fan = wholeNumber(rest.substr(0, split));
    const auto rpm = wholeNumber(rest.substr(split + std::string_view(kReplySetRPM).size()));
    if (!fan || !rpm) return std::nullopt;
    return std::pair{*fan, *rpm};
}

// The refusals that name a fan twice: "ERR 风扇 F<mid>F<tail>".
std::string namedTwice(std::int64_t fan, const char* mid, const char* tail) {
    const std::string number = std::to_string(fan);
    return kReplyFollowsCurve + number + mid + number + tail;
}
std::optional<std::int64_t> fanNamedTwice(std::string_view line, const char* mid,
                                          const char* tail) {
    const auto rest = after(line, kReplyFollowsCurve);
    if (!rest) return std::nullopt;
    const std::size_t split = rest->find(mid);
    const auto fan =
        split == std::string_view::npos ? std::nullopt : wholeNumber(rest->substr(0, split));
    if (!fan || line != namedTwice(*fan, mid, tail)) return std::nullopt;
    return fan;
}

}  // namespace

Reply Reply::error(std::string description) {
    ReplyKind kind = ReplyKind::smcError;
    if (description.find(kWriteRejectedText) != std::string::npos)
        kind = description.find(kWriteUnsupportedText) != std::string::npos
                   ? ReplyKind::writeUnsupported
                   : ReplyKind::writeRefused;
    return {kind, 0, 0, 0, std::move(description)};
}

std::string formatReply(const Reply& r) {
    for (const FixedReply& fixed : kFixedReplies)
        if (r.kind == fixed.kind) return fixed.line;
    for (const NumberReply& numbered : kNumberReplies)
        if (r.kind == numbered.kind) return numbered.prefix + std::to_string(r.*numbered.number);
    switch (r.kind) {
        case ReplyKind::set:
            return kReplySet + std::to_string(r.fan) + kReplySetRPM + std::to_string(r.rpm);
        case ReplyKind::floor:
            return kReplyFloor + std::to_string(r.fan) + kReplySetRPM + std::to_string(r.rpm);
        case ReplyKind::curves:
            return r.text.empty() ? std::string(kReplyCurves) : kReplyCurves + (" " + r.text);
        case ReplyKind::standingInvalid:
            return kReplyStandingInvalid + r.text;
        case ReplyKind::status:
            return kReplyStatus + r.text;
        case ReplyKind::followsCurve:
            return namedTwice(r.fan, kReplyFollowsCurveMid, kReplyFollowsCurveTail);
        case ReplyKind::hasFloor:
            return namedTwice(r.fan, kReplyHasFloorMid, kReplyHasFloorTail);
        case ReplyKind::writeRefused:
        case ReplyKind::writeUnsupported:
        case ReplyKind::smcError:
            return kReplyError + r.text;
        case ReplyKind::unknownCommand:
            return kReplyUnknown + r.text;
        default:  // otherOK and malformed carry their whole line
            return r.text;
    }
}

Reply parseReply(std::string_view line) {
    for (const FixedReply& fixed : kFixedReplies)
        if (line == fixed.line) return {fixed.kind, 0, 0, 0, {}};
    for (const NumberReply& numbered : kNumberReplies) {
        const auto rest = after(line, numbered.prefix);
        const auto n = rest ? wholeNumber(*rest) : std::nullopt;
        if (!n) continue;
        Reply reply{numbered.kind, 0, 0, 0, {}};
        reply.*numbered.number = *n;
        return reply;
    }
    if (const auto rest = after(line, kReplySet))
        if (const auto both = fanAndSpeed(*rest)) return Reply::set(both->first, both->second);
    if (const auto rest = after(line, kReplyFloor))
        if (const auto both = fanAndSpeed(*rest)) return Reply::floor(both->first, both->second);
    if (line == kReplyCurves) return Reply::curves({});
    if (const auto rest = after(line, std::string(kReplyCurves) + " "))
        return Reply::curves(std::string(*rest));
    if (const auto json = after(line, kReplyStatus)) return Reply::status(std::string(*json));
    if (const auto fan = fanNamedTwice(line, kReplyFollowsCurveMid, kReplyFollowsCurveTail))
        return Reply::followsCurve(*fan);
    if (const auto fan = fanNamedTwice(line, kReplyHasFloorMid, kReplyHasFloorTail))
        return Reply::hasFloor(*fan);
    if (const auto reason = after(line, kReplyStandingInvalid))
        return Reply::standingInvalid(std::string(*reason));
    if (const auto request = after(line, kReplyUnknown))
        return Reply::unknownCommand(std::string(*request));
    if (const auto description = after(line, kReplyError))
        return Reply::error(std::string(*description));
    // An "ERR" the daemon did not word (no space after it) is still an error.
    if (const auto rest = after(line, kERR)) return Reply::error(std::string(*rest));
    const ReplyKind kind = line.substr(0, 2) == kOK ? ReplyKind::otherOK : ReplyKind::malformed;
    return {kind, 0, 0, 0, std::string(line)};
}

bool isOK(ReplyKind kind) {
    switch (kind) {
        case ReplyKind::pong:
        case ReplyKind::set:
        case ReplyKind::autoFan:
        case ReplyKind::autoAll:
        case ReplyKind::bye:
        case ReplyKind::hold:
        case ReplyKind::curve:
        case ReplyKind::curveOff:
        case ReplyKind::floor:
        case ReplyKind::floorOff:
        case ReplyKind::curves:
        case ReplyKind::status:
        case ReplyKind::otherOK:
            return true;
        default:
            return false;
    }
}

}  // namespace protocol
