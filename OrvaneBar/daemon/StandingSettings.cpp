#include "StandingSettings.h"

#include <thread>

#include "ControlProtocol.h"
#include "Reply.h"
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

std::string standingNote(const protocol::Standing& standing) {
    if (standing.kind == protocol::Standing::Kind::floor)
        return Texts::standingFloorPrefix + std::to_string(standing.floorRPM) +
               Texts::standingFloorSuffix;
    return Texts::standingCurvePrefix + protocol::formatSource(standing.source) +
           Texts::standingCurveSuffix;
}

std::string standingToolTip(const StandingSettings& fans) {
    std::string tip = Texts::statusToolTip;
    for (const auto& [fan, standing] : fans)
        tip += Texts::toolTipFanPrefix + std::to_string(fan) + Texts::toolTipFanSeparator +
               standingNote(standing);
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
    std::thread([client = client_, self] {
        const std::optional<StandingSettings> found =
            standingFansFrom(client.exchange(std::string(protocol::kCurves)));
        // The guard is tested on the main thread, where the poll is deleted.
        MainQueue::post([self, found] {
            if (self) self->answered(found);
        });
    }).detach();
}

void StandingPoll::answered(const std::optional<StandingSettings>& found) {
    asking_ = false;
    if (found && learned_) learned_(*found);
}
