#include "Curves.h"

#include <cmath>

#include "ControlProtocol.h"
#include "WholeNumber.h"

namespace protocol {

namespace {

// A plain decimal: digits with at most one point and at most three digits after it, an
// optional leading minus; no exponent, no infinity or NaN, nothing else. Read by hand, as the
// C library's readers follow the locale and not every platform has std::from_chars for double.
std::optional<double> decimal(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.empty() || whole.size() > 6 || fraction.size() > kCurveDecimals ||
        (point != std::string_view::npos && fraction.empty()))
        return std::nullopt;
    std::int64_t thousandths = 0;
    for (const char c : whole) {
        if (c < '0' || c > '9') return std::nullopt;
        thousandths = thousandths * 10 + (c - '0');
    }
    std::size_t digits = 0;
    for (const char c : fraction) {
        if (c < '0' || c > '9') return std::nullopt;
        thousandths = thousandths * 10 + (c - '0');
        ++digits;
    }
    for (; digits < kCurveDecimals; ++digits)
        thousandths *= 10;
    const double value = static_cast<double>(thousandths) / 1000;
    return negative ? -value : value;
}

// A sensor key as the SMC names one: four printable ASCII characters, none of which the
// text form uses as a separator.
bool isKey(std::string_view word) {
    if (word.size() != 4) return false;
    for (const char c : word)
        if (c <= ' ' || c > '~' || c == ',' || c == ':' || c == ';') return false;
    return true;
}

bool isEntry(std::string_view word) {
    return word == kCurveCpu || word == kCurveGpu || isKey(word);
}

std::optional<CurveSource> parseSource(std::string_view word) {
    CurveSource source;
    if (word.substr(0, kCurveMaxPrefix.size()) != kCurveMaxPrefix) {
        if (!isEntry(word)) return std::nullopt;
        source.entries.emplace_back(word);
        return source;
    }
    source.hottest = true;
    std::string_view list = word.substr(kCurveMaxPrefix.size());
    for (;;) {
        const std::size_t comma = list.find(',');
        const std::string_view entry = list.substr(0, comma);
        if (!isEntry(entry) || source.entries.size() == kCurveMaxKeys) return std::nullopt;
        source.entries.emplace_back(entry);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return source;
}

// A temperature as parsed (at most three decimals), with no trailing zeros.
std::string shortest(double value) {
    const auto thousandths = static_cast<std::int64_t>(std::llround(std::fabs(value) * 1000));
    std::string text =
        (value < 0 && thousandths != 0 ? "-" : "") + std::to_string(thousandths / 1000);
    std::string fraction = std::to_string(thousandths % 1000);
    fraction.insert(0, 3 - fraction.size(), '0');
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();
    return fraction.empty() ? text : text + "." + fraction;
}

StandingProblem problem(StandingProblem::Kind kind, std::string_view word = {}) {
    return {kind, std::string(word)};
}

}  // namespace

std::vector<std::string_view> splitWords(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        const std::size_t space = line.find(' ', i);
        const std::size_t end = space == std::string_view::npos ? line.size() : space;
        if (end > i) words.push_back(line.substr(i, end - i));
        i = end + 1;
    }
    return words;
}

std::optional<std::int64_t> offFan(const std::vector<std::string_view>& words) {
    if (words.size() != 2 || words[1] != kOff) return std::nullopt;
    return wholeNumber(words[0]);
}

StandingParse parseCurveWords(const std::vector<std::string_view>& words) {
    using Kind = StandingProblem::Kind;
    if (words.size() < 2) return problem(Kind::usage);
    Standing curve;
    const auto fan = wholeNumber(words[0]);
    if (!fan) return problem(Kind::fan, words[0]);
    curve.fan = *fan;
    const auto source = parseSource(words[1]);
    if (!source) return problem(Kind::source, words[1]);
    curve.source = *source;
    const std::size_t count = words.size() - 2;
    if (count < kCurveMinPoints || count > kCurveMaxPoints) return problem(Kind::pointCount);
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::string_view word = words[i];
        const std::size_t colon = word.find(':');
        if (colon == std::string_view::npos) return problem(Kind::point, word);
        const auto celsius = decimal(word.substr(0, colon));
        const auto rpm = wholeNumber(word.substr(colon + 1));
        if (!celsius || !rpm) return problem(Kind::point, word);
        if (*celsius < kCurveLowestCelsius || *celsius > kCurveHighestCelsius)
            return problem(Kind::temperatureRange, word);
        if (!curve.points.empty() && !(*celsius > curve.points.back().celsius))
            return problem(Kind::falling, word);
        if (*rpm <= 0) return problem(Kind::speed, word);
        curve.points.push_back({*celsius, *rpm});
    }
    return curve;
}

StandingParse parseFloorWords(const std::vector<std::string_view>& words) {
    using Kind = StandingProblem::Kind;
    if (words.size() != 2) return problem(Kind::usage);
    const auto fan = wholeNumber(words[0]);
    if (!fan) return problem(Kind::fan, words[0]);
    const auto rpm = wholeNumber(words[1]);
    if (!rpm || *rpm <= 0) return problem(Kind::speed, words[1]);
    Standing floor;
    floor.kind = Standing::Kind::floor;
    floor.fan = *fan;
    floor.floorRPM = *rpm;
    return floor;
}

std::string formatSource(const CurveSource& source) {
    std::string text = source.hottest ? std::string(kCurveMaxPrefix) : std::string();
    for (std::size_t i = 0; i < source.entries.size(); ++i)
        text += (i ? "," : "") + source.entries[i];
    return text;
}

std::string formatStanding(const Standing& s) {
    if (s.kind == Standing::Kind::floor)
        return std::string(kFloor) + " " + std::to_string(s.fan) + " " + std::to_string(s.floorRPM);
    std::string text =
        std::string(kCurve) + " " + std::to_string(s.fan) + " " + formatSource(s.source);
    for (const CurvePoint& p : s.points)
        text += " " + shortest(p.celsius) + ":" + std::to_string(p.rpm);
    return text;
}

StandingParse parseStanding(std::string_view line) {
    std::vector<std::string_view> words = splitWords(line);
    if (words.empty()) return problem(StandingProblem::Kind::usage);
    const std::string_view command = words.front();
    words.erase(words.begin());
    if (command == kCurve) return parseCurveWords(words);
    if (command == kFloor) return parseFloorWords(words);
    return problem(StandingProblem::Kind::usage);
}

double curveSpeed(const std::vector<CurvePoint>& points, double celsius) {
    if (points.empty()) return 0;
    if (celsius <= points.front().celsius) return static_cast<double>(points.front().rpm);
    for (std::size_t i = 1; i < points.size(); ++i) {
        const CurvePoint& a = points[i - 1];
        const CurvePoint& b = points[i];
        if (celsius > b.celsius) continue;
        const double share = (celsius - a.celsius) / (b.celsius - a.celsius);
        return static_cast<double>(a.rpm) + share * static_cast<double>(b.rpm - a.rpm);
    }
    return static_cast<double>(points.back().rpm);
}

}  // namespace protocol
