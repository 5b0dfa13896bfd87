// A fan's standing setting, which the daemon keeps across restarts and runs itself: a curve
// (the fan's speed follows a temperature source through 2 to 8 points) or a floor (the SMC's
// own control, never below a speed). One text form serves the request, the daemon's file
// and the listing: the words of the request itself,
//
//   curve <fan> <source> <t>:<rpm> <t>:<rpm> [...]
//   floor <fan> <rpm>
//
// where <source> is a sensor key (four characters, as `orvtool sensors` lists it), `cpu`,
// `gpu`, or `max:<a>,<b>...` (the hottest of up to eight keys, `cpu` or `gpu`), and each
// point is a temperature in °C (up to three decimals) and a whole speed, temperatures rising.
// What the words alone can tell is checked here; whether a sensor exists and a speed is
// within the fan's limits only the daemon can say.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace protocol {

inline constexpr std::string_view kCurveCpu = "cpu";
inline constexpr std::string_view kCurveGpu = "gpu";
inline constexpr std::string_view kCurveMaxPrefix = "max:";
inline constexpr std::size_t kCurveMinPoints = 2;
inline constexpr std::size_t kCurveMaxPoints = 8;
inline constexpr std::size_t kCurveMaxKeys = 8;
// Digits a point's temperature may have after its decimal point.
inline constexpr std::size_t kCurveDecimals = 3;
// The temperatures a point may name.
inline constexpr double kCurveLowestCelsius = 0;
inline constexpr double kCurveHighestCelsius = 130;

struct CurvePoint {
    double celsius = 0;
    std::int64_t rpm = 0;
    friend bool operator==(const CurvePoint&, const CurvePoint&) = default;
};

// Where a curve reads its temperature: each entry is `cpu`, `gpu` or a sensor key; with more
// than one, the hottest of them.
struct CurveSource {
    std::vector<std::string> entries;
    bool hottest = false;  // written as max:..., even with one entry
    friend bool operator==(const CurveSource&, const CurveSource&) = default;
};

struct Standing {
    enum class Kind { curve, floor };
    Kind kind = Kind::curve;
    std::int64_t fan = 0;
    CurveSource source;              // curve
    std::vector<CurvePoint> points;  // curve
    std::int64_t floorRPM = 0;       // floor
    friend bool operator==(const Standing&, const Standing&) = default;
};

// Why words are not a standing setting; `word` is the offending word where there is one.
struct StandingProblem {
    enum class Kind {
        usage,             // not the request's shape at all
        fan,               // the fan is not a whole number
        source,            // not a source (a key of the wrong shape, an empty max: list, ...)
        pointCount,        // fewer than 2 or more than 8 points
        point,             // a point that is not <number>:<whole number>
        temperatureRange,  // a temperature outside 0 to 130 °C
        falling,           // a temperature not above the one before it
        speed,             // a speed that is not a whole number above 0
    };
    Kind kind = Kind::usage;
    std::string word;
};

using StandingParse = std::variant<Standing, StandingProblem>;

// The words after the command (`curve` or `floor`), already split at spaces. Words that
// end a setting (`curve <fan> off`) are not settings: see isOffRequest.
StandingParse parseCurveWords(const std::vector<std::string_view>& words);
StandingParse parseFloorWords(const std::vector<std::string_view>& words);
// `<fan> off`: the fan, when the words are exactly that.
std::optional<std::int64_t> offFan(const std::vector<std::string_view>& words);

// The setting's words, as the request and the file hold them (numbers written shortest).
std::string formatStanding(const Standing& standing);
std::string formatSource(const CurveSource& source);
// A whole line ("curve ..." or "floor ..."): splits it and parses by its first word.
StandingParse parseStanding(std::string_view line);

// The curve's speed at `celsius`: linear between points, the end speeds beyond the ends.
// The points are a parsed curve's (rising temperatures, at least two).
double curveSpeed(const std::vector<CurvePoint>& points, double celsius);

// The words of a line split at every space (runs of spaces are one separator).
std::vector<std::string_view> splitWords(std::string_view line);

}  // namespace protocol
