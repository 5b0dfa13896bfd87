#include "StandingSettings.h"

#include <unistd.h>

#include <thread>

#include "ControlProtocol.h"
#include "Reply.h"
#include "Status.h"
#include "Texts.h"

std::optional<StandingSettings> standingFansFromReply(std::string_view line) {
    const protocol::Reply reply = protocol::parseReply(line);
    if (reply.kind == protocol::ReplyKind::unknownCommand) return StandingSettings{};
    if (reply.kind != protocol::ReplyKind::curves) return std::nullopt;

    StandingSettings fans;
    const std::string_view separator = protocol::kReplyCurvesSeparator;
    std::string_view rest = reply.text;
    while (!rest.empty()) {
        const std::size_t end = rest.find(separator);
        const std::string_view words = rest.substr(0, end);
        const protocol::StandingParse parsed = protocol::parseStanding(words);
        if (const auto* standing = std::get_if<protocol::Standing>(&parsed))
            fans[standing->fan] = *standing;
        rest = end == std::string_view::npos ? std::string_view()
                                             : rest.substr(end + separator.size());
    }
    return fans;
}

std::optional<StandingSettings> standingFansFrom(const DaemonClient::Exchange& exchange) {
    using Outcome = DaemonClient::Exchange::Outcome;
    switch (exchange.outcome) {
        case Outcome::noDaemon:
        case Outcome::foreignListener:
            return StandingSettings{};
        case Outcome::noReplyInTime:
            return std::nullopt;
        case Outcome::replied:
            break;
    }
    if (!exchange.line) return std::nullopt;
    return standingFansFromReply(*exchange.line);
}

std::optional<DaemonFans> daemonFansFromStatus(std::string_view line, long self) {
    const protocol::Reply reply = protocol::parseReply(line);
    if (reply.kind != protocol::ReplyKind::status) return std::nullopt;
    const std::optional<protocol::StatusReport> report = protocol::parseStatus(reply.text);
    if (!report) return std::nullopt;
    DaemonFans fans;
    for (const protocol::FanState& f : report->fans) {
        switch (f.control) {
            case protocol::FanControl::curve:
            case protocol::FanControl::floor: {
                if (!f.setting) break;
                const protocol::StandingParse parsed = protocol::parseStanding(*f.setting);
                if (const auto* standing = std::get_if<protocol::Standing>(&parsed))
                    fans.standing[standing->fan] = *standing;
                break;
            }
            case protocol::FanControl::set:
            case protocol::FanControl::lease:
                // This user's own (through the application, as far as it can tell): nothing.
                if (f.uid != self) fans.others[f.fan] = f.uid;
                break;
            case protocol::FanControl::automatic:
                break;
        }
    }
    return fans;
}

std::optional<DaemonFans> askDaemonFans(const DaemonClient& client, long self) {
    using Outcome = DaemonClient::Exchange::Outcome;
    const DaemonClient::Exchange exchange = client.exchange(std::string(protocol::kStatus));
    std::optional<StandingSettings> standing;
    if (exchange.outcome != Outcome::replied || !exchange.line) {
        // No daemon, or none to ask: nothing runs; no answer: nothing is learned.
        standing = standingFansFrom(exchange);
    } else if (auto fans = daemonFansFromStatus(*exchange.line, self)) {
        return fans;
    } else if (protocol::parseReply(*exchange.line).kind != protocol::ReplyKind::busy) {
        standing = standingFansFrom(client.exchange(std::string(protocol::kCurves)));
    }
    if (!standing) return std::nullopt;
    return DaemonFans{*standing, {}};
}

std::string standingNote(const protocol::Standing& standing) {
    if (standing.kind == protocol::Standing::Kind::floor)
        return Texts::standingFloorPrefix + std::to_string(standing.floorRPM) +
               Texts::standingFloorSuffix;
    return Texts::standingCurvePrefix + protocol::formatSource(standing.source) +
           Texts::standingCurveSuffix;
}

std::string fansToolTip(const DaemonFans& fans) {
    std::map<std::int64_t, std::string> notes;
    for (const auto& [fan, standing] : fans.standing)
        notes[fan] = standingNote(standing);
    for (const auto& [fan, uid] : fans.others)
        notes.try_emplace(fan, uid ? Texts::toolTipHeldByUserPrefix + std::to_string(*uid) +
                                         Texts::toolTipHeldByUserSuffix
                                   : std::string(Texts::toolTipRootDirect));
    std::string tip = Texts::statusToolTip;
    for (const auto& [fan, note] : notes)
        tip += Texts::toolTipFanPrefix + std::to_string(fan) + Texts::toolTipFanSeparator + note;
    return tip;
}

StandingPoll::StandingPoll(DaemonClient client, MainQueue& queue, Learned learned, QObject* parent)
    : QObject(parent), client_(std::move(client)), queue_(queue), learned_(std::move(learned)) {}

void StandingPoll::tick() {
    if (asking_) return;
    const TimePoint now = queue_.now();
    if (lastAsked_ && now - *lastAsked_ < interval) return;
    lastAsked_ = now;
    asking_ = true;
    // The exchange never starts a daemon: nobody listening is an answer of its own.
    QPointer<StandingPoll> self(this);
    const long user = client_.options().user.value_or(::getuid());
    std::thread([client = client_, self, user] {
        const std::optional<DaemonFans> found = askDaemonFans(client, user);
        // The guard is tested on the main thread, where the poll is deleted.
        MainQueue::post([self, found] {
            if (self) self->answered(found);
        });
    }).detach();
}

void StandingPoll::answered(const std::optional<DaemonFans>& found) {
    asking_ = false;
    if (found && learned_) learned_(*found);
}
