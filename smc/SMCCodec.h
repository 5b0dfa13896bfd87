// Converts SMC value bytes to numbers and back for the data types the system knows.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace SMCCodec {

// "fpe2", "flt ", "ui8 ", "ui16", "ui32" or "sp78"; no value for any other type or
// for too few bytes. NaN and infinities of "flt " pass through unchanged.
std::optional<double> decode(const std::vector<std::uint8_t>& bytes, std::string_view dataType);

// A temperature reading in any type an SMC keeps temperatures in: "flt " and the 16-bit
// big-endian fixed-point types, signed "spXY" (X integer and Y fraction bits, hexadecimal
// digits, X + Y = 15, as "sp78") and unsigned "fpXY" (X + Y = 16, as "fp88"). No value
// for another type or too few bytes.
std::optional<double> decodeTemperature(const std::vector<std::uint8_t>& bytes,
                                        std::string_view dataType);

// Whether the bytes are a value a sensor reports when it has no reading rather than a
// measurement: all bits clear or all set, the most negative or most positive raw value of
// a signed fixed-point type, or a float that is not finite.
bool isPlaceholder(const std::vector<std::uint8_t>& bytes, std::string_view dataType);

// rpm × 4 as an unsigned 16-bit big-endian number, saturating at 0 and 65535.
std::vector<std::uint8_t> encodeFPE2(std::int64_t rpm);

// The IEEE 754 single-precision bytes, lowest byte first.
std::vector<std::uint8_t> encodeFLT(float value);

}  // namespace SMCCodec
