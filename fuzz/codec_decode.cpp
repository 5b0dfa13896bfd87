// SMCCodec::decode and the temperature decoding on arbitrary bytes, with the data type taken
// from the input: the first four bytes are the type, the rest the value bytes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "SMCCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::string_view type(reinterpret_cast<const char*>(data), 4);
    const std::vector<std::uint8_t> bytes(data + 4, data + size);
    const auto value = SMCCodec::decode(bytes, type);
    // Only "flt " can carry NaN or infinities; the fixed-point and integer types are finite.
    if (value && type != "flt " && !std::isfinite(*value)) std::abort();
    // A whole speed read from "fpe2" bytes encodes back to the same two bytes.
    if (value && type == "fpe2" && *value == std::floor(*value)) {
        const auto again = SMCCodec::encodeFPE2(static_cast<std::int64_t>(*value));
        if (again.size() != 2 || again[0] != bytes[0] || again[1] != bytes[1]) std::abort();
    }
    // Temperatures: the six types' decoding where they overlap, and finite fixed point.
    const auto celsius = SMCCodec::decodeTemperature(bytes, type);
    if ((type == "sp78" || type == "flt " || type == "fpe2") &&
        value.has_value() != celsius.has_value())
        std::abort();
    if (celsius && type != "flt " && (!std::isfinite(*celsius) || std::fabs(*celsius) > 65536))
        std::abort();
    (void)SMCCodec::isPlaceholder(bytes, type);
    return 0;
}
