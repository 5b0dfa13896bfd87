#include "DaemonCommands.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <variant>

#include "ControlProtocol.h"
#include "Curves.h"
#include "DaemonClient.h"
#include "LogText.h"
#include "Output.h"
#include "Reply.h"
#include "Status.h"
#include "StatusTable.h"
#include "Texts.h"

namespace orvtool {

namespace {

using Json = nlohmann::ordered_json;
using Outcome = DaemonClient::Exchange::Outcome;

// A word that reaches the daemon as itself: the request is the words joined by spaces, and
// a line feed in one would end it early.
bool isWord(const std::string& word) {
    if (word.empty()) return false;
    for (const char c : word) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte == 0x7F) return false;
    }
    return true;
}

bool allWords(const std::vector<std::string>& words) {
    for (const std::string& word : words)
        if (!isWord(word)) return false;
    return true;
}

bool isOffShape(const std::vector<std::string>& words) {
    return words.size() == 2 && words[1] == protocol::kOff;
}

// The daemon's line as it may go to a terminal: its control characters escaped.
std::string shown(const std::string& line) {
    return logText(line, line.size());
}

// The first reply line to `request`, or none after a message saying why there is none.
std::optional<std::string> ask(const DaemonClient& client, Output& out,
                               const std::string& request) {
    const DaemonClient::Exchange exchange = client.exchange(request);
    switch (exchange.outcome) {
        case Outcome::noDaemon:
            out.eprint(texts::kDaemonNotRunning);
            return std::nullopt;
        case Outcome::foreignListener: {
            const bool known = exchange.peerUid != static_cast<uid_t>(-1);
            out.eprint(texts::kDaemonForeign + exchange.path + texts::kDaemonForeignUser +
                       (known ? std::to_string(exchange.peerUid) : texts::kDaemonForeignUnknown) +
                       texts::kDaemonForeignTail);
            return std::nullopt;
        }
        case Outcome::noReplyInTime:
            out.eprint(texts::kDaemonNoReply + exchange.path);
            return std::nullopt;
        case Outcome::replied:
            break;
    }
    if (!exchange.line) {
        out.eprint(texts::kDaemonReplyNotUTF8);
        return std::nullopt;
    }
    if (exchange.line->empty()) {
        out.eprint(texts::kDaemonClosed);
        return std::nullopt;
    }
    return exchange.line;
}

// Prints a reply that is not the one the command expected: an error on standard error as
// the daemon worded it, any other line with the note that it was not understood.
int printOther(Output& out, const std::string& line, const protocol::Reply& reply) {
    if (reply.kind == protocol::ReplyKind::malformed || protocol::isOK(reply.kind))
        out.eprint(texts::kDaemonBadReply + shown(line));
    else
        out.eprint(shown(line));
    return 1;
}

// The settings of a listing: its text split at the separator.
std::vector<std::string> settingsOf(const std::string& text) {
    std::vector<std::string> settings;
    const std::string_view separator = protocol::kReplyCurvesSeparator;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find(separator, start);
        settings.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) break;
        start = end + separator.size();
    }
    return settings;
}

Json settingJson(const protocol::Standing& s) {
    const bool curve = s.kind == protocol::Standing::Kind::curve;
    Json points = nullptr;
    if (curve) {
        points = Json::array();
        for (const protocol::CurvePoint& p : s.points)
            points.push_back({{"celsius", p.celsius}, {"rpm", p.rpm}});
    }
    return {{"fan", s.fan},
            {"kind", curve ? "curve" : "floor"},
            {"source", curve ? Json(protocol::formatSource(s.source)) : Json(nullptr)},
            {"points", std::move(points)},
            {"floor_rpm", curve ? Json(nullptr) : Json(s.floorRPM)}};
}

}  // namespace

bool isCurveShape(const std::vector<std::string>& words) {
    if (!allWords(words)) return false;
    const std::size_t points = words.size() >= 2 ? words.size() - 2 : 0;
    return isOffShape(words) ||
           (points >= protocol::kCurveMinPoints && points <= protocol::kCurveMaxPoints);
}

bool isFloorShape(const std::vector<std::string>& words) {
    return allWords(words) && words.size() == 2;
}

int cmdStanding(const DaemonClient& client, Output& out, std::string_view command,
                const std::vector<std::string>& words) {
    std::string request(command);
    for (const std::string& word : words)
        request += " " + word;
    const auto line = ask(client, out, request);
    if (!line) return 1;
    const protocol::Reply reply = protocol::parseReply(*line);
    if (reply.kind == protocol::ReplyKind::malformed) return printOther(out, *line, reply);
    if (!protocol::isOK(reply.kind)) {
        out.eprint(shown(*line));
        return 1;
    }
    out.print(shown(*line));
    return 0;
}

int cmdCurves(const DaemonClient& client, Output& out, bool json) {
    const auto line = ask(client, out, std::string(protocol::kCurves));
    if (!line) return 1;
    const protocol::Reply reply = protocol::parseReply(*line);
    if (reply.kind != protocol::ReplyKind::curves) return printOther(out, *line, reply);
    const std::vector<std::string> settings =
        reply.text.empty() ? std::vector<std::string>() : settingsOf(reply.text);

    if (!json) {
        if (settings.empty()) out.print(texts::kCurvesNone);
        for (const std::string& setting : settings)
            out.print(shown(setting));
        return 0;
    }
    // Scripts get the whole list or nothing: a setting this tool cannot read (a newer
    // daemon's) fails the command rather than go missing from the array.
    Json list = Json::array();
    for (const std::string& setting : settings) {
        const protocol::StandingParse parsed = protocol::parseStanding(setting);
        const auto* standing = std::get_if<protocol::Standing>(&parsed);
        if (!standing) {
            out.eprint(texts::kCurvesUnreadable + shown(setting));
            return 1;
        }
        list.push_back(settingJson(*standing));
    }
    out.print(list.dump(-1, ' ', false, Json::error_handler_t::replace));
    return 0;
}

int cmdStatus(const DaemonClient& client, Output& out, bool json) {
    const auto line = ask(client, out, std::string(protocol::kStatus));
    if (!line) return 1;
    const protocol::Reply reply = protocol::parseReply(*line);
    if (reply.kind != protocol::ReplyKind::status) return printOther(out, *line, reply);
    const std::optional<protocol::StatusReport> report = protocol::parseStatus(reply.text);
    if (!report) {
        out.eprint(texts::kStatusUnreadable + shown(*line));
        return 1;
    }
    if (json) {
        out.print(reply.text);
        return 0;
    }
    for (const std::string& text : statusLines(*report))
        out.print(text);
    return 0;
}

}  // namespace orvtool
