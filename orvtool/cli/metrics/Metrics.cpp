#include "Metrics.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <map>
#include <memory>

#include "AtomicFile.h"
#include "ControlProtocol.h"
#include "DaemonClient.h"
#include "Exposition.h"
#include "FanController.h"
#include "Output.h"
#include "Reply.h"
#include "SMCError.h"
#include "Texts.h"

namespace orvtool {

namespace {

using metrics::Exposition;
using metrics::Labels;
using metrics::Type;

// The kinds of reading orvane_read_failures counts, every one always written.
constexpr const char* kFailureKinds[] = {"fan_speed", "fan_target", "fan_min",
                                         "fan_max",   "fan_forced", "temperature"};

double flag(bool value) {
    return value ? 1 : 0;
}

void addMachine(Exposition& e, FanController& ctl,
                const std::optional<protocol::StatusReport>& daemon) {
    std::map<std::string, int> failures;
    for (const char* kind : kFailureKinds)
        failures[kind] = 0;

    e.family("orvane_fan_speed_rpm", Type::gauge, texts::kHelpFanSpeed);
    e.family("orvane_fan_target_rpm", Type::gauge, texts::kHelpFanTarget);
    e.family("orvane_fan_min_rpm", Type::gauge, texts::kHelpFanMin);
    e.family("orvane_fan_max_rpm", Type::gauge, texts::kHelpFanMax);
    e.family("orvane_fan_forced", Type::gauge, texts::kHelpFanForced);
    for (int i = 0; i < ctl.numberOfFans(); ++i) {
        const FanReadout r = ctl.readout(i);
        // Who holds the fan: the daemon says so when it reports the fan; otherwise a fan the
        // SMC holds forced was set by someone, directly.
        std::string control(protocol::controlName(r.forced.value_or(false)
                                                      ? protocol::FanControl::set
                                                      : protocol::FanControl::automatic));
        if (daemon) {
            for (const protocol::FanState& fan : daemon->fans)
                if (fan.fan == i) control = protocol::controlName(fan.control);
        }
        const Labels labels{
            {"fan", std::to_string(i)}, {"name", ctl.fanName(i)}, {"control", control}};
        const auto put = [&](const char* name, const std::optional<double>& value, bool failed,
                             const char* kind) {
            if (value) e.sample(name, *value, labels);
            if (failed) ++failures[kind];
        };
        put("orvane_fan_speed_rpm", r.current, r.failed.current, "fan_speed");
        put("orvane_fan_target_rpm", r.target, r.failed.target, "fan_target");
        put("orvane_fan_min_rpm", r.minimum, r.failed.minimum, "fan_min");
        put("orvane_fan_max_rpm", r.maximum, r.failed.maximum, "fan_max");
        put("orvane_fan_forced", r.forced ? std::optional<double>(flag(*r.forced)) : std::nullopt,
            r.failed.forced, "fan_forced");
    }

    e.family("orvane_temperature_celsius", Type::gauge, texts::kHelpTemperature);
    try {
        const SensorReadings readings = ctl.temperatureSensors();
        for (const TemperatureSensor& s : readings.sensors)
            e.sample("orvane_temperature_celsius", s.celsius,
                     {{"sensor", s.key}, {"name", s.name}});
        failures["temperature"] += readings.unreadable;
    } catch (const SMCError&) {
        // Without the key index no sensor is known: one failed reading.
        ++failures["temperature"];
    }

    e.family("orvane_read_failures", Type::gauge, texts::kHelpReadFailures);
    for (const auto& [kind, count] : failures)
        e.sample("orvane_read_failures", count, {{"reading", kind}});
}

void addDaemon(Exposition& e, const std::optional<protocol::StatusReport>& daemon) {
    e.add("orvane_daemon_up", Type::gauge, texts::kHelpDaemonUp, flag(daemon.has_value()));
    if (!daemon) return;
    const protocol::StatusReport& d = *daemon;
    const auto number = [](auto value) { return static_cast<double>(value); };
    e.add("orvane_daemon_start_time_seconds", Type::gauge, texts::kHelpDaemonStart,
          number(d.started));
    e.add("orvane_daemon_guard_tripped", Type::gauge, texts::kHelpGuardTripped,
          flag(d.guard.tripped));
    e.family("orvane_daemon_guard_temperature_celsius", Type::gauge, texts::kHelpGuardTemperature);
    if (d.guard.celsius) e.sample("orvane_daemon_guard_temperature_celsius", *d.guard.celsius);
    e.add("orvane_daemon_guard_trip_celsius", Type::gauge, texts::kHelpGuardTrip,
          d.guard.tripCelsius);
    e.add("orvane_daemon_leases", Type::gauge, texts::kHelpLeases, number(d.leases.size()));

    const protocol::StatusCounters& c = d.counters;
    const char* setAgain = "orvane_daemon_fans_set_again_total";
    e.family(setAgain, Type::counter, texts::kHelpSetAgain);
    e.sample(setAgain, number(c.setAgainWake), {{"cause", "wake"}});
    e.sample(setAgain, number(c.setAgainChange), {{"cause", "change"}});
    const char* handBacks = "orvane_daemon_hand_backs_total";
    e.family(handBacks, Type::counter, texts::kHelpHandBacks);
    e.sample(handBacks, number(c.handBackLease), {{"cause", "lease"}});
    e.sample(handBacks, number(c.handBackGuard), {{"cause", "guard"}});
    e.sample(handBacks, number(c.handBackSleep), {{"cause", "sleep"}});
    e.sample(handBacks, number(c.handBackGivenUp), {{"cause", "given_up"}});
    const char* refusals = "orvane_daemon_refusals_total";
    e.family(refusals, Type::counter, texts::kHelpRefusals);
    e.sample(refusals, number(c.refusedConnections), {{"what", "connection"}});
    e.sample(refusals, number(c.refusedRequests), {{"what", "request"}});
    e.add("orvane_daemon_guard_trips_total", Type::counter, texts::kHelpGuardTrips,
          number(c.guardTrips));
}

std::string failureText(const std::string& path, const metrics::WriteFailure& f) {
    using Step = metrics::WriteFailure::Step;
    const char* step = "";
    switch (f.step) {
        case Step::badPath:
            step = texts::kMetricsBadPath;
            break;
        case Step::openDirectory:
            step = texts::kMetricsOpenDirectory;
            break;
        case Step::untrustedDirectory:
            step = texts::kMetricsUntrustedDirectory;
            break;
        case Step::createTemporary:
            step = texts::kMetricsCreateTemporary;
            break;
        case Step::write:
            step = texts::kMetricsWrite;
            break;
        case Step::sync:
            step = texts::kMetricsSync;
            break;
        case Step::mode:
            step = texts::kMetricsMode;
            break;
        case Step::rename:
            step = texts::kMetricsRename;
            break;
    }
    std::string text = texts::kMetricsWriteFailed + path + ": " + step;
    if (f.error != 0 && f.step != Step::badPath)
        text += texts::kStdoutErrno + std::to_string(f.error) + ")";
    return text;
}

}  // namespace

std::string metricsText(FanController* ctl, const std::optional<protocol::StatusReport>& daemon) {
    Exposition e;
    e.add("orvane_build_info", Type::gauge, texts::kHelpBuildInfo, 1,
          {{"version", ORVANE_VERSION}});
    e.add("orvane_up", Type::gauge, texts::kHelpUp, flag(ctl != nullptr));
    if (ctl) addMachine(e, *ctl, daemon);
    addDaemon(e, daemon);
    return e.text();
}

std::optional<protocol::StatusReport> askStatus(const DaemonClient& client) {
    const DaemonClient::Exchange exchange = client.exchange(
        std::string(protocol::kStatus), std::chrono::milliseconds(kMetricsDaemonTimeoutMs));
    if (exchange.outcome != DaemonClient::Exchange::Outcome::replied || !exchange.line)
        return std::nullopt;
    const protocol::Reply reply = protocol::parseReply(*exchange.line);
    if (reply.kind != protocol::ReplyKind::status) return std::nullopt;
    return protocol::parseStatus(reply.text);
}

int cmdMetrics(Output& out, const std::vector<std::string>& words) {
    const bool toFile = words.size() == 2 && words[0] == "--output" && !words[1].empty();
    if (!words.empty() && !toFile) {
        out.eprintRaw(texts::kUsageMetrics);
        return 1;
    }
    std::unique_ptr<FanController> ctl;
    try {
        ctl = std::make_unique<FanController>();
    } catch (const SMCError& e) {
        out.eprint(texts::kMetricsSMCUnread + e.description());
    } catch (const std::exception& e) {
        out.eprint(texts::kMetricsSMCUnread + std::string(e.what()));
    }
    const std::string text = metricsText(ctl.get(), askStatus(DaemonClient()));
    if (!toFile) {
        // print adds the line feed; the text already ends with one.
        out.print(text.substr(0, text.size() - 1));
        return 0;
    }
    if (const auto failure = metrics::replaceFile(words[1], text)) {
        out.eprint(failureText(words[1], *failure));
        return 1;
    }
    return 0;
}

}  // namespace orvtool
