#include "Request.h"

#include <vector>

#include "ControlProtocol.h"
#include "Curves.h"
#include "Format.h"
#include "Status.h"
#include "Unicode.h"

namespace orvtool {

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

Request parseRequest(std::string line) {
    using Kind = Request::Kind;
    const std::vector<std::string_view> words = protocol::splitWords(line);
    const std::string_view command = words.empty() ? std::string_view() : words.front();
    Request request;
    if (command == protocol::kPing) {
        request.kind = Kind::ping;
    } else if (command == protocol::kSet) {
        // The word count first, then the fan, then the speed.
        const auto fan = words.size() == 3 ? parseInteger(words[1]) : std::nullopt;
        const auto rpm = fan ? parseInteger(words[2]) : std::nullopt;
        request.kind = rpm ? Kind::set : Kind::setUsage;
        if (rpm) {
            request.fan = *fan;
            request.rpm = *rpm;
        }
    } else if (command == protocol::kAuto) {
        // A second word that is not a number falls back to every fan.
        const auto fan = words.size() == 2 ? parseInteger(words[1]) : std::nullopt;
        request.kind = fan ? Kind::autoFan : Kind::autoAll;
        request.fan = fan.value_or(0);
    } else if (command == protocol::kQuit) {
        request.kind = Kind::quit;
    } else if (command == protocol::kHold) {
        request.kind = Kind::hold;
    } else if (command == protocol::kCurves) {
        request.kind = Kind::curves;
    } else if (command == protocol::kStatus) {
        request.kind = Kind::status;
    } else if (command == protocol::kCurve || command == protocol::kFloor) {
        const bool floor = command == protocol::kFloor;
        const std::vector<std::string_view> rest(words.begin() + 1, words.end());
        if (const auto fan = protocol::offFan(rest)) {
            request.kind = floor ? Kind::floorOff : Kind::curveOff;
            request.fan = *fan;
        } else {
            const protocol::StandingParse parsed =
                floor ? protocol::parseFloorWords(rest) : protocol::parseCurveWords(rest);
            if (const auto* s = std::get_if<protocol::Standing>(&parsed)) {
                request.kind = floor ? Kind::floor : Kind::curve;
                request.standing = *s;
            } else {
                request.kind = Kind::standingInvalid;
                request.problem = std::get<protocol::StandingProblem>(parsed);
                request.floorCommand = floor;
            }
        }
    }
    request.line = std::move(line);
    return request;
}

}  // namespace orvtool
