#include "ServeCommand.h"

#include <climits>
#include <cstdint>
#include <exception>
#include <vector>

#include "ControlProtocol.h"
#include "FanController.h"
#include "Format.h"
#include "SMCError.h"
#include "ServeFans.h"
#include "Unicode.h"

namespace orvtool {

namespace {

std::vector<std::string_view> splitWords(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        const std::size_t space = line.find(' ', i);
        const std::size_t end = space == std::string_view::npos ? line.size() : space;
        if (end > i) words.push_back(line.substr(i, end - i));
        i = end + 1;
    }
    return words;
}

// The hardware layer takes fan indices as int. An index beyond that range is rejected
// with the error the layer gives any index outside the fan count, instead of being
// narrowed into a valid index of another fan.
int fanIndex(std::int64_t fan) {
    if (fan < INT_MIN || fan > INT_MAX)
        throw SMCError::keyNotFound("F" + std::to_string(fan) + "Mn");
    return static_cast<int>(fan);
}

std::string errorReply(const std::exception& e) {
    if (const auto* smc = dynamic_cast<const SMCError*>(&e))
        return protocol::kReplyError + smc->description();
    return protocol::kReplyError + std::string(e.what());
}

}  // namespace

std::optional<std::string> requestText(std::string_view line) {
    const auto decoded = unicode::decodeUTF8(line);
    if (!decoded) return std::nullopt;
    const auto blank = [](char32_t c) { return c == U'\t' || unicode::isSpaceSeparator(c); };
    std::u32string_view text = *decoded;
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    return unicode::encodeUTF8(text);
}

std::string serveCommand(const std::string& line, FanController& ctl) {
    const std::vector<std::string_view> words = splitWords(line);
    const std::string_view command = words.empty() ? std::string_view() : words.front();

    if (command == protocol::kPing)
        return protocol::kReplyPong + std::to_string(ctl.numberOfFans());

    if (command == protocol::kSet) {
        const auto fan = words.size() == 3 ? parseInteger(words[1]) : std::nullopt;
        const auto rpm = fan ? parseInteger(words[2]) : std::nullopt;
        if (!fan || !rpm) return protocol::kReplySetUsage;
        try {
            const std::int64_t written = ctl.setFanRPM(fanIndex(*fan), *rpm);
            return protocol::kReplySet + std::to_string(*fan) + protocol::kReplySetRPM +
                   std::to_string(written);
        } catch (const std::exception& e) {
            return errorReply(e);
        }
    }

    if (command == protocol::kAuto) {
        // A second word that is not a number falls back to restoring every fan.
        const auto fan = words.size() == 2 ? parseInteger(words[1]) : std::nullopt;
        try {
            if (fan) {
                ctl.restoreAuto(fanIndex(*fan));
                return protocol::kReplyAutoFan + std::to_string(*fan);
            }
            ctl.restoreAllAuto();
            return protocol::kReplyAutoAll;
        } catch (const std::exception& e) {
            return errorReply(e);
        }
    }

    if (command == protocol::kQuit) {
        restoreEveryFan(ctl);  // the daemon stops and says so whatever the SMC says
        return protocol::kReplyBye;
    }

    return protocol::kReplyUnknown + line;
}

std::string serveRequest(const std::string& line, FanController& ctl, long uid, long ownerUid) {
    const std::vector<std::string_view> words = splitWords(line);
    const bool quit = !words.empty() && words.front() == protocol::kQuit;
    if (quit && uid != 0 && (uid < 0 || uid != ownerUid)) return protocol::kReplyQuitRefused;
    return serveCommand(line, ctl);
}

bool isHoldRequest(std::string_view line) {
    const std::vector<std::string_view> words = splitWords(line);
    return !words.empty() && words.front() == protocol::kHold;
}

std::string holdReply(int graceSeconds) {
    return protocol::kReplyHold + std::to_string(graceSeconds);
}

FanEffect fanEffect(std::string_view reply) {
    const auto after = [reply](std::string_view prefix) -> std::optional<std::string_view> {
        if (reply.substr(0, prefix.size()) != prefix) return std::nullopt;
        return reply.substr(prefix.size());
    };
    const auto index = [](std::optional<std::int64_t> fan) {
        return fan && *fan >= INT_MIN && *fan <= INT_MAX;
    };
    if (reply == protocol::kReplyAutoAll) return {FanEffect::allHandedBack};
    if (const auto rest = after(protocol::kReplyAutoFan)) {
        const auto fan = parseInteger(*rest);
        if (index(fan)) return {FanEffect::handedBack, static_cast<int>(*fan)};
    }
    if (const auto rest = after(protocol::kReplySet)) {
        const std::string_view rpmText = protocol::kReplySetRPM;
        const std::size_t split = rest->find(rpmText);
        if (split == std::string_view::npos) return {};
        const auto fan = parseInteger(rest->substr(0, split));
        const auto rpm = parseInteger(rest->substr(split + rpmText.size()));
        if (index(fan) && rpm) return {FanEffect::forced, static_cast<int>(*fan), *rpm};
    }
    return {};
}

std::optional<std::string_view> RequestFramer::nextLine() {
    const std::size_t lf = pending_.find('\n', start_);
    if (lf == std::string::npos || lf - start_ > maxPending_) {
        pending_.erase(0, start_);
        start_ = 0;
        return std::nullopt;
    }
    const std::string_view line(pending_.data() + start_, lf - start_);
    start_ = lf + 1;
    return line;
}

}  // namespace orvtool
