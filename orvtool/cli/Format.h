// Number rules and formatting shared by the commands and the daemon: the integer and
// number argument rules, the integer shown for a double reading, lower-case hex, and
// printf-style formatting with a point as decimal separator whatever the locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvtool {

// Optional '+' or '-', then one or more ASCII digits, base 10, within the signed 64-bit
// range. Anything else (empty text, spaces, other characters, overflow) gives nothing.
std::optional<std::int64_t> parseInteger(std::string_view text);

// Rejects text whose first byte is NUL (so the empty text), tab, line feed, vertical tab,
// form feed, carriage return or space; otherwise strtod in the C locale, accepted only
// when it converts something and consumes the whole text. Decimal, exponent and
// hexadecimal forms pass, and so do "inf" and "nan": callers check the range they need.
// A result out of the double range (strtod's ERANGE) is kept as strtod returns it.
std::optional<double> parseNumber(const std::string& text);

// A reading as a signed 64-bit integer: truncation toward zero, saturating at
// INT64_MIN and INT64_MAX for values (and infinities) beyond the range; NaN gives 0,
// the value a snapshot shows for a reading it could not take.
std::int64_t integerOf(double value);

// Lower-case hexadecimal without leading zeros ("0" for zero).
std::string hex(std::uint8_t value);

// snprintf into a string, in the C locale.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace orvtool
