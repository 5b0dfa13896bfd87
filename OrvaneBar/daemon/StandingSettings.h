// The fans the control daemon runs by itself, by a curve or a floor (protocol/Curves.h), as
// the application learns them: asked with `curves` every few seconds, off the main thread,
// of a daemon that is there (none is started for it). The rows, the tooltip and the
// temperature boost read the latest answer. A daemon that does not know the request, or
// none at all, runs no fan by itself.
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

// What a reply line to `curves` tells: the settings it lists (one whose words do not parse
// is left out); none for a daemon that does not know the request; nullopt when the reply
// tells nothing either way (busy, an error, a line of no known kind).
std::optional<StandingSettings> standingFansFromReply(std::string_view line);
// The same for the whole exchange: no daemon, or one that was not asked (a foreign
// listener), runs no fan; a missing or unreadable reply tells nothing.
std::optional<StandingSettings> standingFansFrom(const DaemonClient::Exchange& exchange);

// How the fan runs, as its row and submenu say it: "按曲线运行（cpu）", "最低 2000 rpm".
std::string standingNote(const protocol::Standing& standing);
// The tray's tooltip: the application's own, then a line per standing fan
// ("风扇 0：按曲线运行（cpu）").
std::string standingToolTip(const StandingSettings& fans);

// Asks the daemon for its standing settings, at most every `interval`, one question at a
// time; the answer comes back on the main thread with one queued call. Main thread only.
class StandingPoll : public QObject {
  public:
    static constexpr std::chrono::milliseconds interval{3000};
    using Learned = std::function<void(const StandingSettings&)>;

    StandingPoll(DaemonClient client, MainQueue& queue, Learned learned, QObject* parent = nullptr);

    // Asks when the last question is `interval` old (or there was none) and no answer is
    // awaited.
    void tick();
    // The next tick asks, whenever the last question was.
    void askSoon() { lastAsked_.reset(); }
    bool asking() const { return asking_; }

  private:
    void answered(const std::optional<StandingSettings>& found);

    DaemonClient client_;
    MainQueue& queue_;
    Learned learned_;
    std::optional<TimePoint> lastAsked_;
    bool asking_ = false;
};
