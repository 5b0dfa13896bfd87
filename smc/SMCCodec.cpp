#include "SMCCodec.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "SMCFixedPoint.h"

namespace SMCCodec {

namespace {

std::uint32_t bigEndian(const std::vector<std::uint8_t>& b, int count) {
    std::uint32_t v = 0;
    for (int i = 0; i < count; ++i)
        v = (v << 8) | b[i];
    return v;
}

}  // namespace

std::optional<double> decodeTemperature(const std::vector<std::uint8_t>& bytes,
                                        std::string_view dataType) {
    if (dataType == "flt ") return decode(bytes, dataType);
    const auto fixed = smcFixedPoint(dataType);
    if (!fixed || bytes.size() < 2) return std::nullopt;
    const auto raw = static_cast<std::uint16_t>(bigEndian(bytes, 2));
    const double value = fixed->isSigned ? static_cast<std::int16_t>(raw) : raw;
    return value / static_cast<double>(1 << fixed->fractionBits);
}

bool isPlaceholder(const std::vector<std::uint8_t>& bytes, std::string_view dataType) {
    if (dataType == "flt ") {
        const auto value = decode(bytes, dataType);
        if (value && !std::isfinite(*value)) return true;
        // A float of all clear or all set bits is 0 or a NaN: handled alike below.
    }
    const std::size_t n = dataType == "flt " ? 4 : 2;
    if (bytes.size() < n) return false;
    const auto first = bytes.begin();
    const auto last = bytes.begin() + static_cast<std::ptrdiff_t>(n);
    if (std::all_of(first, last, [](std::uint8_t b) { return b == 0x00; })) return true;
    if (std::all_of(first, last, [](std::uint8_t b) { return b == 0xFF; })) return true;
    const auto fixed = smcFixedPoint(dataType);
    if (fixed && fixed->isSigned) {
        const auto raw = bigEndian(bytes, 2);
        return raw == 0x8000 || raw == 0x7FFF;
    }
    return false;
}

std::optional<double> decode(const std::vector<std::uint8_t>& bytes, std::string_view dataType) {
    const std::size_t n = bytes.size();
    if (dataType == "fpe2") {
        if (n < 2) return std::nullopt;
        return bigEndian(bytes, 2) / 4.0;
    }
    if (dataType == "flt ") {
        if (n < 4) return std::nullopt;
        std::uint32_t bits = std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 |
                             std::uint32_t(bytes[2]) << 16 | std::uint32_t(bytes[3]) << 24;
        return static_cast<double>(std::bit_cast<float>(bits));
    }
    if (dataType == "ui8 ") {
        if (n < 1) return std::nullopt;
        return bytes[0];
    }
    if (dataType == "ui16") {
        if (n < 2) return std::nullopt;
        return bigEndian(bytes, 2);
    }
    if (dataType == "ui32") {
        if (n < 4) return std::nullopt;
        return bigEndian(bytes, 4);
    }
    if (dataType == "sp78") {
        if (n < 2) return std::nullopt;
        return static_cast<std::int8_t>(bytes[0]) + bytes[1] / 256.0;
    }
    return std::nullopt;
}

std::vector<std::uint8_t> encodeFPE2(std::int64_t rpm) {
    constexpr std::int64_t kMaxRaw = 65535;
    std::int64_t raw;
    if (rpm <= 0) {
        raw = 0;
    } else if (rpm > kMaxRaw / 4) {
        raw = kMaxRaw;  // also keeps rpm × 4 from overflowing
    } else {
        raw = rpm * 4;
    }
    return {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw & 0xFF)};
}

std::vector<std::uint8_t> encodeFLT(float value) {
    auto bits = std::bit_cast<std::uint32_t>(value);
    return {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
            static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
}

}  // namespace SMCCodec
