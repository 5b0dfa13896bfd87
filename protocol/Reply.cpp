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
    switch (r.kind) {
        case ReplyKind::pong:
            return kReplyPong + std::to_string(r.count);
        case ReplyKind::set:
            return kReplySet + std::to_string(r.fan) + kReplySetRPM + std::to_string(r.rpm);
        case ReplyKind::autoFan:
            return kReplyAutoFan + std::to_string(r.fan);
        case ReplyKind::autoAll:
            return kReplyAutoAll;
        case ReplyKind::bye:
            return kReplyBye;
        case ReplyKind::hold:
            return kReplyHold + std::to_string(r.count);
        case ReplyKind::busy:
            return kReplyBusy;
        case ReplyKind::quitRefused:
            return kReplyQuitRefused;
        case ReplyKind::setUsage:
            return kReplySetUsage;
        case ReplyKind::writeRefused:
        case ReplyKind::writeUnsupported:
        case ReplyKind::smcError:
            return kReplyError + r.text;
        case ReplyKind::unknownCommand:
            return kReplyUnknown + r.text;
        case ReplyKind::otherOK:
        case ReplyKind::malformed:
            return r.text;
    }
    return r.text;
}

Reply parseReply(std::string_view line) {
    if (line == kReplyAutoAll) return Reply::autoAll();
    if (line == kReplyBye) return Reply::bye();
    if (line == kReplyBusy) return Reply::busy();
    if (line == kReplyQuitRefused) return Reply::quitRefused();
    if (line == kReplySetUsage) return Reply::setUsage();
    if (const auto n = after(line, kReplyPong); n && wholeNumber(*n))
        return Reply::pong(*wholeNumber(*n));
    if (const auto n = after(line, kReplyHold); n && wholeNumber(*n))
        return Reply::hold(*wholeNumber(*n));
    if (const auto n = after(line, kReplyAutoFan); n && wholeNumber(*n))
        return Reply::autoFan(*wholeNumber(*n));
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
