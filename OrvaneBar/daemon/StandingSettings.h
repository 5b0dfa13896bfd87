// The fans the control daemon runs by itself, by a curve or a floor (protocol/Curves.h), and
// the fans someone other than this application's user holds, as the application learns them:
// asked with `status` (protocol/Status.h) every few seconds, off the main thread, of a daemon
// that is there (none is started for it); a daemon without `status` is asked `curves`. The
// rows, the tooltip and the temperature boost read the latest answer. A daemon that knows
// neither request, or none at all, runs no fan by itself.
#pragma once

#include <QObject>
#include <QPointer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "Curves.h"
#include "DaemonClient.h"
#include "MainQueue.h"

// Each fan's standing setting, by fan.
using StandingSettings = std::map<std::int64_t, protocol::Standing>;

// What the daemon's status tells the application of its fans: the standing settings, and
// the fans held for another user (their uid) or forced by root on the SMC itself (none).
struct DaemonFans {
    StandingSettings standing;
    std::map<std::int64_t, std::optional<long>> others;
    bool operator==(const DaemonFans&) const = default;
};

// What a reply line to `curves` tells: the settings it lists (one whose words do not parse
// is left out); none for a daemon that does not know the request; nullopt when the reply
// tells nothing either way (busy, an error, a line of no known kind).
std::optional<StandingSettings> standingFansFromReply(std::string_view line);
// The same for the whole exchange: no daemon, or one that was not asked (a foreign
// listener), runs no fan; a missing or unreadable reply tells nothing.
std::optional<StandingSettings> standingFansFrom(const DaemonClient::Exchange& exchange);

// What a reply line to `status` tells the application of user `self`: the settings whose
// words parse, and the fans held by a set or a lease of another user or forced by root on the
// SMC itself; nullopt when the line is no status this application can read.
std::optional<DaemonFans> daemonFansFromStatus(std::string_view line, long self);
// The whole question: `status`, and `curves` of a daemon whose answer is no readable status
// (it is older than the request); nullopt when the answers tell nothing. Blocking.
std::optional<DaemonFans> askDaemonFans(const DaemonClient& client, long self);

// How the fan runs, as its row and submenu say it: "按曲线运行（cpu）", "最低 2000 rpm".
std::string standingNote(const protocol::Standing& standing);
// The tray's tooltip: the application's own, then a line per fan that the daemon runs or that
// another holds, in fan order ("风扇 0：按曲线运行（cpu）", "风扇 1：由用户 1001 控制",
// "风扇 1：由 root 直接设定").
std::string fansToolTip(const DaemonFans& fans);

// Asks the daemon for its standing settings, at most every `interval`, one question at a
// time; the answer comes back on the main thread with one queued call. Main thread only.
class StandingPoll : public QObject {
  public:
    static constexpr std::chrono::milliseconds interval{3000};
    using Learned = std::function<void(const DaemonFans&)>;

    StandingPoll(DaemonClient client, MainQueue& queue, Learned learned, QObject* parent = nullptr);

    // Asks when the last question is `interval` old (or there was none) and no answer is
    // awaited.
    void tick();
    // The next tick asks, whenever the last question was.
    void askSoon() { lastAsked_.reset(); }
    bool asking() const { return asking_; }

  private:
    void answered(const std::optional<DaemonFans>& found);

    DaemonClient client_;
    MainQueue& queue_;
    Learned learned_;
    std::optional<TimePoint> lastAsked_;
    bool asking_ = false;
};
