#include "StatusTable.h"

#include <locale.h>
#include <wchar.h>

#include <algorithm>
#include <array>
#include <ctime>

#include "Format.h"
#include "LogText.h"
#include "Texts.h"
#include "Unicode.h"

namespace orvtool {

namespace {

using protocol::FanControl;

constexpr std::size_t kColumns = std::size(texts::kStatusColumns);
using Row = std::array<std::string, kColumns>;

std::string shown(const std::string& text) {
    return logText(text, text.size());
}

std::string rpm(const std::optional<double>& value) {
    return value ? std::to_string(integerOf(*value)) : texts::kStatusNone;
}

std::string controlText(FanControl control) {
    switch (control) {
        case FanControl::automatic:
            break;
        case FanControl::set:
            return texts::kStatusSet;
        case FanControl::lease:
            return texts::kStatusLease;
        case FanControl::curve:
            return texts::kStatusCurve;
        case FanControl::floor:
            return texts::kStatusFloor;
    }
    return texts::kStatusAutomatic;
}

// Who holds the fan: a user, root on the SMC itself, the daemon's own setting, or nobody.
std::string holderText(const protocol::FanState& f) {
    if (f.uid) return texts::kStatusUid + std::to_string(*f.uid);
    switch (f.control) {
        case FanControl::set:
        case FanControl::lease:
            return texts::kStatusRootDirect;
        case FanControl::curve:
        case FanControl::floor:
            return texts::kStatusByDaemon;
        case FanControl::automatic:
            break;
    }
    return texts::kStatusNone;
}

Row fanRow(const protocol::FanState& f) {
    return {
        std::to_string(f.fan),  shown(f.name),  rpm(f.current),
        rpm(f.target),          rpm(f.minimum), rpm(f.maximum),
        controlText(f.control), holderText(f),  f.setting ? shown(*f.setting) : texts::kStatusNone};
}

// The rows with every cell but the last padded to its column's widest.
std::vector<std::string> table(const std::vector<Row>& rows) {
    std::array<std::size_t, kColumns> widths{};
    for (const Row& row : rows)
        for (std::size_t i = 0; i < kColumns; ++i)
            widths[i] = std::max(widths[i], displayWidth(row[i]));
    std::vector<std::string> lines;
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < kColumns; ++i) {
            line += row[i];
            if (i + 1 == kColumns) break;
            line += std::string(widths[i] - displayWidth(row[i]), ' ') + texts::kStatusGap;
        }
        lines.push_back(line);
    }
    return lines;
}

std::string leaseLine(const protocol::LeaseState& l) {
    std::string fans;
    for (const int fan : l.fans)
        fans += (fans.empty() ? "" : texts::kStatusFanSeparator) + std::to_string(fan);
    std::string line = format(texts::kStatusLeaseFormat, l.uid, l.connections,
                              fans.empty() ? texts::kStatusNone : fans.c_str());
    if (l.graceLeft) line += format(texts::kStatusLeaseGraceFormat, *l.graceLeft);
    return line;
}

std::string guardLine(const protocol::GuardState& g) {
    std::string line = g.tripped ? texts::kStatusGuardTripped : texts::kStatusGuardClear;
    line += g.celsius ? format(texts::kStatusGuardCelsiusFormat, *g.celsius)
                      : std::string(texts::kStatusGuardNoReading);
    return line + format(texts::kStatusGuardLimitsFormat, g.tripCelsius, g.coolCelsius);
}

std::string localTime(std::int64_t unixTime) {
    const auto t = static_cast<std::time_t>(unixTime);
    std::tm tm{};
    char text[64];
    if (!::localtime_r(&t, &tm) ||
        std::strftime(text, sizeof text, texts::kStatusTimeFormat, &tm) == 0)
        return std::to_string(unixTime);
    return text;
}

std::string daemonLine(const protocol::StatusReport& r) {
    std::string line = format(texts::kStatusDaemonFormat, shown(r.version).c_str(), r.pid,
                              localTime(r.started).c_str());
    line += r.ownerUid ? texts::kStatusOwner + std::to_string(*r.ownerUid)
                       : std::string(texts::kStatusOwnerNone);
    return line + format(texts::kStatusGraceFormat, r.leaseGrace);
}

using Count = unsigned long long;

}  // namespace

std::size_t displayWidth(std::string_view text) {
    const auto decoded = unicode::decodeUTF8(text);
    if (!decoded) return text.size();
    // The widths are the C library's, in a UTF-8 locale of this thread only; without one,
    // every character counts one column.
    static const locale_t utf8 = [] {
        locale_t l = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        return l ? l : ::newlocale(LC_CTYPE_MASK, "UTF-8", static_cast<locale_t>(0));
    }();
    if (!utf8) return decoded->size();
    const locale_t previous = ::uselocale(utf8);
    std::size_t width = 0;
    for (const char32_t c : *decoded) {
        const int w = ::wcwidth(static_cast<wchar_t>(c));
        width += w < 0 ? 1 : static_cast<std::size_t>(w);
    }
    ::uselocale(previous);
    return width;
}

std::vector<std::string> statusLines(const protocol::StatusReport& r) {
    std::vector<Row> rows;
    Row header;
    std::copy(std::begin(texts::kStatusColumns), std::end(texts::kStatusColumns), header.begin());
    rows.push_back(header);
    for (const protocol::FanState& f : r.fans)
        rows.push_back(fanRow(f));
    std::vector<std::string> lines = table(rows);

    if (r.leases.empty()) lines.push_back(texts::kStatusLeasesNone);
    for (const protocol::LeaseState& l : r.leases)
        lines.push_back(leaseLine(l));
    lines.push_back(guardLine(r.guard));
    const protocol::StatusCounters& c = r.counters;
    lines.push_back(
        format(texts::kStatusSetAgainFormat, Count(c.setAgainWake), Count(c.setAgainChange)));
    lines.push_back(format(texts::kStatusHandBacksFormat, Count(c.handBackLease),
                           Count(c.handBackGuard), Count(c.handBackSleep),
                           Count(c.handBackGivenUp)));
    lines.push_back(format(texts::kStatusRefusalsFormat, Count(c.refusedConnections),
                           Count(c.refusedRequests)));
    lines.push_back(format(texts::kStatusGuardTripsFormat, Count(c.guardTrips)));
    lines.push_back(daemonLine(r));
    return lines;
}

}  // namespace orvtool
