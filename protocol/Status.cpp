#include "Status.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>

namespace protocol {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::pair<FanControl, std::string_view> kControls[] = {
    {FanControl::automatic, "automatic"},
    {FanControl::set, "set"},
    {FanControl::lease, "lease"},
    {FanControl::curve, "curve"},
    {FanControl::floor, "floor"}};

template <typename T>
Json orNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

// Reading back: each getter throws on a missing field or one of another type, which
// parseStatus turns into "none".
struct Malformed {};

const Json& field(const Json& object, const char* name) {
    if (!object.is_object()) throw Malformed{};
    const auto it = object.find(name);
    if (it == object.end()) throw Malformed{};
    return *it;
}
// A number too large for a double reads as infinite: no reading the daemon could send.
double number(const Json& value) {
    if (!value.is_number()) throw Malformed{};
    const double read = value.get<double>();
    if (!std::isfinite(read)) throw Malformed{};
    return read;
}
std::int64_t whole(const Json& value) {
    if (!value.is_number_integer()) throw Malformed{};
    return value.get<std::int64_t>();
}
std::uint64_t count(const Json& value) {
    if (!value.is_number_unsigned()) throw Malformed{};
    return value.get<std::uint64_t>();
}
bool flag(const Json& value) {
    if (!value.is_boolean()) throw Malformed{};
    return value.get<bool>();
}
std::string text(const Json& value) {
    if (!value.is_string()) throw Malformed{};
    return value.get<std::string>();
}
template <typename F>
auto nullable(const Json& value, F read) -> std::optional<decltype(read(value))> {
    if (value.is_null()) return std::nullopt;
    return read(value);
}
const Json& array(const Json& value) {
    if (!value.is_array()) throw Malformed{};
    return value;
}

Json fanJson(const FanState& f) {
    return {{"fan", f.fan},
            {"name", f.name},
            {"current", orNull(f.current)},
            {"target", orNull(f.target)},
            {"min", orNull(f.minimum)},
            {"max", orNull(f.maximum)},
            {"forced", f.forced},
            {"control", controlName(f.control)},
            {"uid", orNull(f.uid)},
            {"lease", f.lease},
            {"setting", orNull(f.setting)}};
}

FanState fanOf(const Json& j) {
    FanState f;
    f.fan = static_cast<int>(whole(field(j, "fan")));
    f.name = text(field(j, "name"));
    f.current = nullable(field(j, "current"), number);
    f.target = nullable(field(j, "target"), number);
    f.minimum = nullable(field(j, "min"), number);
    f.maximum = nullable(field(j, "max"), number);
    f.forced = flag(field(j, "forced"));
    const auto control = controlNamed(text(field(j, "control")));
    if (!control) throw Malformed{};
    f.control = *control;
    f.uid = nullable(field(j, "uid"), whole);
    f.lease = flag(field(j, "lease"));
    f.setting = nullable(field(j, "setting"), text);
    return f;
}

Json leaseJson(const LeaseState& l) {
    return {{"uid", l.uid},
            {"connections", l.connections},
            {"fans", l.fans},
            {"grace_left", orNull(l.graceLeft)}};
}

LeaseState leaseOf(const Json& j) {
    LeaseState l;
    l.uid = static_cast<long>(whole(field(j, "uid")));
    l.connections = static_cast<int>(whole(field(j, "connections")));
    for (const Json& fan : array(field(j, "fans")))
        l.fans.push_back(static_cast<int>(whole(fan)));
    l.graceLeft = nullable(field(j, "grace_left"), number);
    return l;
}

Json countersJson(const StatusCounters& c) {
    return {{"set_again", {{"wake", c.setAgainWake}, {"change", c.setAgainChange}}},
            {"hand_backs",
             {{"lease", c.handBackLease},
              {"guard", c.handBackGuard},
              {"sleep", c.handBackSleep},
              {"given_up", c.handBackGivenUp}}},
            {"refusals", {{"connections", c.refusedConnections}, {"requests", c.refusedRequests}}},
            {"guard_trips", c.guardTrips}};
}

StatusCounters countersOf(const Json& j) {
    StatusCounters c;
    const Json& again = field(j, "set_again");
    c.setAgainWake = count(field(again, "wake"));
    c.setAgainChange = count(field(again, "change"));
    const Json& back = field(j, "hand_backs");
    c.handBackLease = count(field(back, "lease"));
    c.handBackGuard = count(field(back, "guard"));
    c.handBackSleep = count(field(back, "sleep"));
    c.handBackGivenUp = count(field(back, "given_up"));
    const Json& refused = field(j, "refusals");
    c.refusedConnections = count(field(refused, "connections"));
    c.refusedRequests = count(field(refused, "requests"));
    c.guardTrips = count(field(j, "guard_trips"));
    return c;
}

}  // namespace

std::string_view controlName(FanControl control) {
    for (const auto& [value, name] : kControls)
        if (value == control) return name;
    return "automatic";
}

std::optional<FanControl> controlNamed(std::string_view name) {
    for (const auto& [value, known] : kControls)
        if (known == name) return value;
    return std::nullopt;
}

std::string formatStatus(const StatusReport& r) {
    Json fans = Json::array();
    for (const FanState& f : r.fans)
        fans.push_back(fanJson(f));
    Json leases = Json::array();
    for (const LeaseState& l : r.leases)
        leases.push_back(leaseJson(l));
    const Json j = {{"version", r.version},
                    {"started", r.started},
                    {"pid", r.pid},
                    {"owner_uid", orNull(r.ownerUid)},
                    {"lease_grace", r.leaseGrace},
                    {"fans", std::move(fans)},
                    {"leases", std::move(leases)},
                    {"guard",
                     {{"tripped", r.guard.tripped},
                      {"celsius", orNull(r.guard.celsius)},
                      {"trip_celsius", r.guard.tripCelsius},
                      {"cool_celsius", r.guard.coolCelsius}}},
                    {"counters", countersJson(r.counters)}};
    // Names come from the SMC's bytes: a name that is not valid UTF-8 is written with
    // replacement characters rather than failing the whole reply.
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<StatusReport> parseStatus(std::string_view json) {
    const Json j = Json::parse(json, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    try {
        StatusReport r;
        r.version = text(field(j, "version"));
        r.started = whole(field(j, "started"));
        r.pid = static_cast<long>(whole(field(j, "pid")));
        r.ownerUid = nullable(field(j, "owner_uid"), whole);
        r.leaseGrace = static_cast<int>(whole(field(j, "lease_grace")));
        for (const Json& f : array(field(j, "fans")))
            r.fans.push_back(fanOf(f));
        for (const Json& l : array(field(j, "leases")))
            r.leases.push_back(leaseOf(l));
        const Json& guard = field(j, "guard");
        r.guard.tripped = flag(field(guard, "tripped"));
        r.guard.celsius = nullable(field(guard, "celsius"), number);
        r.guard.tripCelsius = number(field(guard, "trip_celsius"));
        r.guard.coolCelsius = number(field(guard, "cool_celsius"));
        r.counters = countersOf(field(j, "counters"));
        return r;
    } catch (const Malformed&) {
        return std::nullopt;
    }
}

}  // namespace protocol
