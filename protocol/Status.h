// The daemon's state as it reports it to `status`: one reply line, "OK status " and a JSON
// object. The daemon fills a StatusReport and sends formatStatus of it; `orvtool status`,
// `orvtool metrics` and the application read it back with parseStatus. Every field is
// always written; one that does not apply is null.
//
//   {"version":"1.0.0","started":1765375200,"pid":812,"owner_uid":501,"lease_grace":10,
//    "fans":[{"fan":0,"name":"Left","current":2510,"target":2500,"min":1200,"max":6000,
//             "forced":true,"control":"lease","uid":501,"lease":true,"setting":null}],
//    "leases":[{"uid":501,"connections":1,"fans":[0],"grace_left":null}],
//    "guard":{"tripped":false,"celsius":61.5,"trip_celsius":95,"cool_celsius":90},
//    "counters":{"set_again":{"wake":0,"change":1},
//                "hand_backs":{"lease":0,"guard":0,"sleep":0,"given_up":0},
//                "refusals":{"connections":0,"requests":2},"guard_trips":0}}
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace protocol {

inline constexpr std::string_view kStatus = "status";
inline constexpr const char* kReplyStatus = "OK status ";  // then the JSON object

// Who holds a fan: the SMC's own control, a request's `set` (no lease covers it), a lease's
// holder, or the daemon running a standing curve or floor.
enum class FanControl { automatic, set, lease, curve, floor };
std::string_view controlName(FanControl control);
std::optional<FanControl> controlNamed(std::string_view name);

struct FanState {
    int fan = 0;
    std::string name;
    // As the SMC reads them now (rpm); none when the reading failed.
    std::optional<double> current, target, minimum, maximum;
    bool forced = false;  // the SMC holds the fan forced (mode key, or raised minimum)
    FanControl control = FanControl::automatic;
    std::optional<long> uid;  // set, lease: whose request forced it
    bool lease = false;       // a lease covers the fan
    // curve, floor: the setting's words as `curves` lists them ("curve 0 cpu 40:1500 ...").
    std::optional<std::string> setting;

    bool operator==(const FanState&) const = default;
};

struct LeaseState {
    long uid = 0;
    int connections = 0;  // the user's connections holding the lease open
    std::vector<int> fans;
    // Seconds until the fans go back, once the user's last lease connection has closed;
    // none while one is open.
    std::optional<double> graceLeft;

    bool operator==(const LeaseState&) const = default;
};

struct GuardState {
    bool tripped = false;
    std::optional<double> celsius;  // the hotter of CPU and GPU at the last reading
    double tripCelsius = 0;
    double coolCelsius = 0;

    bool operator==(const GuardState&) const = default;
};

struct StatusCounters {
    // Fans set again: after a wake, and after the SMC changed them by itself.
    std::uint64_t setAgainWake = 0, setAgainChange = 0;
    // Fans the daemon handed back on its own: a lease's grace ran out, the heat guard,
    // before a sleep, and a fan given up after failed attempts to set it again.
    std::uint64_t handBackLease = 0, handBackGuard = 0, handBackSleep = 0, handBackGivenUp = 0;
    // Connections refused for the limits; requests refused (not allowed for the user, too
    // hot, a fan that follows a setting, a write the SMC refused).
    std::uint64_t refusedConnections = 0, refusedRequests = 0;
    std::uint64_t guardTrips = 0;

    bool operator==(const StatusCounters&) const = default;
};

struct StatusReport {
    std::string version;
    std::int64_t started = 0;  // Unix time in seconds
    long pid = 0;
    std::optional<long> ownerUid;  // the user who started the daemon; none: root's own start
    int leaseGrace = 0;            // seconds
    std::vector<FanState> fans;
    std::vector<LeaseState> leases;
    GuardState guard;
    StatusCounters counters;

    bool operator==(const StatusReport&) const = default;
};

// The object as one line of JSON (no line feed), fields in the order above.
std::string formatStatus(const StatusReport& report);
// The object read back; none when it is not JSON, a field is missing or has another type.
std::optional<StatusReport> parseStatus(std::string_view json);

}  // namespace protocol
