#include "QuitSequence.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "Alerts.h"
#include "ControlProtocol.h"
#include "FanController.h"
#include "PrivilegedLauncher.h"
#include "Reply.h"
#include "Texts.h"
#include "WritePath.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long Quit waits between attempts to deliver "auto".
constexpr std::chrono::milliseconds kQuitRetry{500};

// Filled by background work and read, with a time limit, by the main thread.
class DeliveryState {
  public:
    void update(const AutoDelivery& delivery, bool finished) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            delivery_ = delivery;
            done_ = finished;
        }
        if (finished) changed_.notify_all();
    }
    // What is known when the work finished or the limit passed, whichever is first.
    AutoDelivery waitFor(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        (void)changed_.wait_for(lock, limit, [this] { return done_; });
        return delivery_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    AutoDelivery delivery_;
    bool done_ = false;
};

// One attempt's exchange as a delivery.
AutoDelivery deliveryOf(const DaemonClient::Exchange& exchange) {
    AutoDelivery delivery;
    if (exchange.outcome == DaemonClient::Exchange::Outcome::foreignListener) {
        delivery.result = AutoDelivery::foreign;
        delivery.peerUid = exchange.peerUid;
        delivery.path = exchange.path;
        return delivery;
    }
    if (!exchange.line) return delivery;
    const protocol::ReplyKind kind = protocol::parseReply(*exchange.line).kind;
    if (kind == protocol::ReplyKind::busy) {
        delivery.result = AutoDelivery::busy;
    } else if (protocol::isOK(kind)) {
        delivery.result = AutoDelivery::delivered;
    } else if (kind != protocol::ReplyKind::malformed) {
        delivery.result = AutoDelivery::refused;
        delivery.reply = *exchange.line;
    }
    return delivery;
}

// Delivers "auto" until a reply comes or the deadline passes. The daemon is started at
// most once, on the first attempt, and only when mayStart; later attempts only send. A
// missing reply and a busy or absent daemon are tried again; a success or an error reply
// ends the attempts, and so does another user's listener, which waiting does not change.
// Every attempt is reported to `state`.
void deliverAuto(const DaemonStarter& starter, bool mayStart, Clock::time_point deadline,
                 DeliveryState& state) {
    if (mayStart) {
        const DaemonStatus status = starter.ensureRunning();
        if (status.kind == DaemonStatus::down || status.kind == DaemonStatus::untrustedTool) {
            AutoDelivery delivery;
            delivery.result = status.kind == DaemonStatus::down ? AutoDelivery::notStarted
                                                                : AutoDelivery::untrustedTool;
            state.update(delivery, true);
            return;
        }
    }
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        // A slow daemon may take all the time left to answer.
        const AutoDelivery delivery = deliveryOf(starter.client().exchange(
            protocol::kAutoAllRequest, std::max(left, std::chrono::milliseconds(1))));
        const bool finished = delivery.result == AutoDelivery::delivered ||
                              delivery.result == AutoDelivery::refused ||
                              delivery.result == AutoDelivery::foreign ||
                              Clock::now() + kQuitRetry >= deadline;
        state.update(delivery, finished);
        if (finished) return;
        std::this_thread::sleep_for(kQuitRetry);
    }
}

}  // namespace

bool anyFanForced(FanController& ctl) {
    const int count = ctl.numberOfFans();
    for (int i = 0; i < count; ++i) {
        if (ctl.isForced(i)) return true;
    }
    return false;
}

bool forcedStateUncertain(FanController& ctl) {
    if (ctl.recordProblem() == RecordProblem::none) return false;
    const int count = ctl.numberOfFans();
    for (int i = 0; i < count; ++i) {
        if (!ctl.hasModeKey(i)) return true;
    }
    return false;
}

std::string quitFailureMessage(const AutoDelivery& delivery, const ToolTrust& trust) {
    std::string cause;
    switch (delivery.result) {
        case AutoDelivery::delivered:
        case AutoDelivery::noAnswer:
            cause = Texts::quitNoAnswer;
            break;
        case AutoDelivery::refused:
            cause = Texts::quitReplyPrefix + delivery.reply + "\n";
            break;
        case AutoDelivery::notStarted:
        case AutoDelivery::untrustedTool:
            cause = Texts::quitNotStarted;
            break;
        case AutoDelivery::busy:
            cause = Texts::quitBusy;
            break;
        case AutoDelivery::foreign:
            cause = foreignOwnerText(delivery.path, delivery.peerUid);
            break;
    }
    if (!trust.trusted) return cause + toolRefusalText(trust);
    return cause + Texts::quitManualPrefix + shellQuote(trust.path) + Texts::quitManualSuffix;
}

void QuitSequence::handBack(bool forced, bool uncertain) const {
    bool deliver = forced;
    if (!forced && uncertain) {
        const DaemonStatus::Kind kind = starter_.client().probe().kind;
        deliver = kind == DaemonStatus::alive || kind == DaemonStatus::busy ||
                  kind == DaemonStatus::unresponsive;
    }
    if (!deliver) return;
    // The work may show the password prompt and may wait for a busy daemon; the main
    // thread waits for it, never longer than the limit. The work keeps what it needs alive
    // itself and stops trying at the same limit.
    auto state = std::make_shared<DeliveryState>();
    const auto deadline = Clock::now() + waitLimit_;
    std::thread([starter = starter_, forced, deadline, state] {
        deliverAuto(starter, forced, deadline, *state);
    }).detach();
    const AutoDelivery delivery = state->waitFor(waitLimit_);
    if (delivery.result != AutoDelivery::delivered)
        showError(Texts::quitFailedTitle, quitFailureMessage(delivery, starter_.toolTrust()));
}
