#include "WritePath.h"

#include <algorithm>
#include <exception>
#include <iterator>

#include "Alerts.h"
#include "ControlProtocol.h"
#include "DaemonLease.h"
#include "FanController.h"
#include "Formatting.h"
#include "Paths.h"
#include "PrivilegedLauncher.h"
#include "Reply.h"
#include "Texts.h"

namespace {

// The hint to run the tool by hand is given only for a tool root may run; otherwise the
// reason why not takes its place.
std::string startFailureMessage(const ToolTrust& trust) {
    const std::string manual = trust.trusted
                                   ? Texts::startFailedManualPrefix + shellQuote(trust.path) +
                                         Texts::startFailedManualSuffix
                                   : toolRefusalText(trust);
    return std::string(Texts::startFailedMessage) + manual + Texts::startFailedLogPrefix +
           paths::kLogPath;
}

// A probe's or a start's finding that ends the write, in the order of DaemonStatus::Kind.
WriteOutcome outcomeOf(DaemonStatus::Kind kind) {
    static constexpr WriteOutcome kOutcomes[] = {
        WriteOutcome::done,         WriteOutcome::notStarted, WriteOutcome::busy,
        WriteOutcome::unresponsive, WriteOutcome::foreign,    WriteOutcome::untrustedTool};
    static_assert(std::size(kOutcomes) == DaemonStatus::untrustedTool + 1);
    return kOutcomes[kind];
}

}  // namespace

std::string manualModeCommand(FanController& ctl, std::int64_t fan, bool manual) {
    if (!manual) return protocol::autoRequest(fan);
    const int index = static_cast<int>(fan);
    double rpm = 3000;
    if (std::optional<double> target = ctl.targetRPM(index)) {
        rpm = *target;
    } else {
        try {
            rpm = ctl.currentRPM(index);
        } catch (const std::exception&) {
        }
    }
    return protocol::setRequest(fan, truncateRPM(rpm));
}

std::string foreignOwnerText(const std::string& socketPath, uid_t uid) {
    return socketPath + Texts::foreignOwnerPrefix + std::to_string(uid) + Texts::foreignOwnerSuffix;
}

std::string toolRefusalText(const ToolTrust& trust) {
    return Texts::toolRefusedPrefix + shellQuote(trust.path) + Texts::toolRefusedSeparator +
           trust.reason + "\n";
}

WriteOutcome writeOutcome(const DaemonClient::Exchange& exchange) {
    using Outcome = DaemonClient::Exchange::Outcome;
    if (exchange.outcome == Outcome::foreignListener) return WriteOutcome::foreign;
    if (!exchange.line) {
        return exchange.outcome == Outcome::noReplyInTime ? WriteOutcome::unresponsive
                                                          : WriteOutcome::noReply;
    }
    switch (protocol::parseReply(*exchange.line).kind) {
        case protocol::ReplyKind::busy:
            return WriteOutcome::busy;
        case protocol::ReplyKind::writeRefused:
            return WriteOutcome::writeRefused;
        case protocol::ReplyKind::writeUnsupported:
            return WriteOutcome::writeUnsupported;
        case protocol::ReplyKind::tooHot:
            return WriteOutcome::tooHot;
        case protocol::ReplyKind::followsCurve:
        case protocol::ReplyKind::hasFloor:
            return WriteOutcome::daemonRuns;
        default:
            return WriteOutcome::done;
    }
}

std::optional<WriteReport> writeReport(WriteOutcome outcome, const std::string& command,
                                       const DaemonStatus& listener, const ToolTrust& trust,
                                       const std::string& reply) {
    switch (outcome) {
        case WriteOutcome::done:
            return std::nullopt;
        case WriteOutcome::noReply:
            return WriteReport{Texts::noReplyTitle,
                               Texts::noReplyPrefix + command + Texts::noReplySuffix};
        case WriteOutcome::unresponsive:
            return WriteReport{Texts::noReplyTitle,
                               Texts::noReplyPrefix + command + Texts::noReplyUnresponsiveSuffix};
        case WriteOutcome::busy:
            return WriteReport{Texts::busyTitle, Texts::busyPrefix + command + Texts::busySuffix};
        case WriteOutcome::foreign:
            return WriteReport{Texts::foreignListenerTitle,
                               foreignOwnerText(listener.path, listener.peerUid) +
                                   Texts::foreignCommandPrefix + command +
                                   Texts::foreignCommandSuffix};
        case WriteOutcome::untrustedTool:
            return WriteReport{Texts::toolUntrustedTitle,
                               toolRefusalText(trust) + Texts::toolUntrustedAdvice};
        case WriteOutcome::notStarted:
            return WriteReport{Texts::startFailedTitle, startFailureMessage(trust)};
        case WriteOutcome::writeRefused:
            return WriteReport{Texts::writeRejectedTitle, Texts::writeRejectedMessage};
        case WriteOutcome::writeUnsupported:
            return WriteReport{Texts::writeRejectedTitle, Texts::writeUnsupportedMessage};
        case WriteOutcome::tooHot:
            // The daemon's own reason, as it words it.
            return WriteReport{Texts::tooHotTitle,
                               std::string(protocol::kReplyTooHot)
                                   .substr(std::string_view(protocol::kReplyError).size())};
        case WriteOutcome::daemonRuns:
            // The daemon's own words, which tell how to end the setting.
            return WriteReport{Texts::standingHeldTitle,
                               reply.substr(std::min(
                                   reply.size(), std::string_view(protocol::kReplyError).size()))};
    }
    return std::nullopt;
}

WritePath::WritePath(DaemonStarter starter, QObject* parent)
    : QObject(parent), starter_(std::move(starter)) {}

void WritePath::setLease(DaemonLease* lease) {
    lease_ = lease;
}

void WritePath::write(const std::string& command, WriteFrom from) {
    proceed(command, starter_.client().probe(), true, from);
}

void WritePath::proceed(const std::string& command, const DaemonStatus& status, bool mayStart,
                        WriteFrom from) {
    switch (status.kind) {
        case DaemonStatus::alive:
            send(command, from);
            return;
        case DaemonStatus::down:
        case DaemonStatus::untrustedTool:
            if (!mayStart) break;
            // A daemon that is there (busy, silent) or a foreign listener is never started
            // over; only one that is down is.
            starter_.ensureRunningAsync(this, [this, command, from](DaemonStatus result) {
                proceed(command, result, false, from);
            });
            return;
        case DaemonStatus::busy:
        case DaemonStatus::unresponsive:
        case DaemonStatus::foreign:
            break;
    }
    report(outcomeOf(status.kind), command, status, from);
}

void WritePath::send(const std::string& command, WriteFrom from) {
    if (lease_) lease_->takeNow();
    const DaemonClient::Exchange exchange = starter_.client().exchange(command);
    report(writeOutcome(exchange), command,
           DaemonStatus(DaemonStatus::foreign, exchange.peerUid, exchange.path), from,
           exchange.line.value_or(std::string()));
}

void WritePath::report(WriteOutcome outcome, const std::string& command,
                       const DaemonStatus& listener, WriteFrom from, const std::string& reply) {
    if (from == WriteFrom::boost &&
        (outcome == WriteOutcome::tooHot || outcome == WriteOutcome::daemonRuns))
        return;
    // The tool is looked at only for the reports that name it.
    const bool namesTool =
        outcome == WriteOutcome::untrustedTool || outcome == WriteOutcome::notStarted;
    const ToolTrust trust = namesTool ? starter_.toolTrust() : ToolTrust{};
    if (const std::optional<WriteReport> shown =
            writeReport(outcome, command, listener, trust, reply))
        showError(shown->title, shown->message);
}
