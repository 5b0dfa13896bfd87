// Value encoding of SMC keys: each key carries a four-character data type that fixes how its
// bytes map to a number. The emulator needs both directions: decoding to run the fan and
// thermal model on the current key values, encoding to publish computed values.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace smcemu::codec {

// Decodes the leading bytes of a key value. Supported types: "fpe2" (unsigned 16-bit
// big-endian / 4), "flt " (IEEE single little-endian), "ui8 ", "ui16", "ui32" (unsigned
// big-endian), "sp78" (signed 16-bit big-endian / 256) and the other 16-bit fixed-point
// types real machines keep sensors in: "spXY" signed with Y fraction bits (X + Y = 15) and
// "fpXY" unsigned (X + Y = 16), X and Y hexadecimal digits. No value for another type or when
// there are too few bytes.
std::optional<double> decode(std::span<const uint8_t> bytes, std::string_view type);

// Encodes `value` in `type` into the leading bytes of `bytes` (the bytes after them are left
// as they are). Integer and fixed-point types round to nearest and saturate at their range.
// Returns false, leaving `bytes` untouched, for an unsupported type, a value that is not a
// number, or a key too short for the type.
bool encodeInto(double value, std::string_view type, std::vector<uint8_t>& bytes);

}  // namespace smcemu::codec
