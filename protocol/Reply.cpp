#include "Reply.h"

#include <charconv>
#include <optional>

#include "ControlProtocol.h"

namespace protocol {

namespace {

// A whole decimal number, optionally negative, and nothing else.
std::optional<std::int64_t> wholeNumber(std::string_view text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

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
constexpr FixedReply kFixedReplies[] = {
    {ReplyKind::autoAll, kReplyAutoAll},   {ReplyKind::bye, kReplyBye},
    {ReplyKind::busy, kReplyBusy},         {ReplyKind::quitRefused, kReplyQuitRefused},
    {ReplyKind::setUsage, kReplySetUsage}, {ReplyKind::tooHot, kReplyTooHot}};

struct NumberReply {
    ReplyKind kind;
    const char* prefix;
    std::int64_t Reply::*number;
};
constexpr NumberReply kNumberReplies[] = {{ReplyKind::pong, kReplyPong, &Reply::count},
                                          {ReplyKind::hold, kReplyHold, &Reply::count},
                                          {ReplyKind::autoFan, kReplyAutoFan, &Reply::fan}};

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
    if (const auto rest = after(line, kReplySet)) {
        const std::size_t split = rest->find(kReplySetRPM);
        const auto fan =
            split == std::string_view::npos ? std::nullopt : wholeNumber(rest->substr(0, split));
        const auto rpm =
            fan ? wholeNumber(rest->substr(split + std::string_view(kReplySetRPM).size()))
                : std::nullopt;
        if (rpm) return Reply::set(*fan, *rpm);
    }
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
        case ReplyKind::otherOK:
            return true;
        default:
            return false;
    }
}

}  // namespace protocol
