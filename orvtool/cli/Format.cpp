#include "Format.h"

#include <locale.h>
#ifdef __APPLE__
#include <xlocale.h>  // newlocale, uselocale and locale_t on macOS
#endif

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "NonCopyable.h"

namespace orvtool {

namespace {

// Switches the calling thread to the C locale for its lifetime, so decimal points and
// number parsing never depend on the environment.
class CLocale : NonCopyable {
  public:
    CLocale() {
        static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        if (c != static_cast<locale_t>(0)) previous_ = uselocale(c);
    }
    ~CLocale() {
        if (previous_ != static_cast<locale_t>(0)) uselocale(previous_);
    }

  private:
    locale_t previous_ = static_cast<locale_t>(0);
};

}  // namespace

std::optional<std::int64_t> parseInteger(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) return std::nullopt;
    // Accumulate the magnitude as unsigned so that INT64_MIN is reachable.
    constexpr std::uint64_t kLimitPositive = static_cast<std::uint64_t>(INT64_MAX);
    const std::uint64_t limit = negative ? kLimitPositive + 1 : kLimitPositive;
    std::uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (limit - digit) / 10) return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    if (!negative) return static_cast<std::int64_t>(magnitude);
    if (magnitude == kLimitPositive + 1) return INT64_MIN;
    return -static_cast<std::int64_t>(magnitude);
}

std::optional<double> parseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    switch (text.front()) {
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
        case ' ':
            return std::nullopt;
        default:
            break;
    }
    CLocale c;
    const char* begin = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    // An embedded NUL stops strtod early: that is unconsumed text too.
    if (end == begin || end != begin + text.size()) return std::nullopt;
    return value;
}

std::int64_t integerOf(double value) {
    constexpr double kTwo63 = 9223372036854775808.0;
    if (std::isnan(value)) return 0;
    if (value >= kTwo63) return INT64_MAX;
    if (value < -kTwo63) return INT64_MIN;
    return static_cast<std::int64_t>(value);
}

std::string hex(std::uint8_t value) {
    return format("%x", static_cast<unsigned>(value));
}

std::string format(const char* fmt, ...) {
    CLocale c;
    char small[128];
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    std::string out;
    if (length < 0) {
        va_end(again);
        return out;
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        out.assign(small, static_cast<std::size_t>(length));
    } else {
        std::vector<char> big(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(big.data(), big.size(), fmt, again);
        out.assign(big.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
    return out;
}

}  // namespace orvtool
