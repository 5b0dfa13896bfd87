#include "Codec.h"

#include <cmath>
#include <cstring>

#include "SMCFixedPoint.h"

namespace smcemu::codec {
namespace {

uint32_t bigEndian(std::span<const uint8_t> bytes, size_t count) {
    uint32_t v = 0;
    for (size_t i = 0; i < count; ++i)
        v = (v << 8) | bytes[i];
    return v;
}

void putBigEndian(uint32_t v, size_t count, std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(v >> (8 * (count - 1 - i)));
}

// Rounds to the nearest integer and saturates into [lo, hi].
double roundClamp(double v, double lo, double hi) {
    v = std::round(v);
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

}  // namespace

std::optional<double> decode(std::span<const uint8_t> bytes, std::string_view type) {
    if (type == "fpe2") {
        if (bytes.size() < 2) return std::nullopt;
        return bigEndian(bytes, 2) / 4.0;
    }
    if (type == "flt ") {
        if (bytes.size() < 4) return std::nullopt;
        uint32_t bits = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t{bytes[3]} << 24);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return static_cast<double>(f);
    }
    if (type == "ui8 ") {
        if (bytes.empty()) return std::nullopt;
        return bytes[0];
    }
    if (type == "ui16") {
        if (bytes.size() < 2) return std::nullopt;
        return bigEndian(bytes, 2);
    }
    if (type == "ui32") {
        if (bytes.size() < 4) return std::nullopt;
        return bigEndian(bytes, 4);
    }
    if (type == "sp78") {
        if (bytes.size() < 2) return std::nullopt;
        return static_cast<int16_t>(bigEndian(bytes, 2)) / 256.0;
    }
    if (auto fixed = smcFixedPoint(type); fixed && bytes.size() >= 2) {
        const auto raw = static_cast<uint16_t>(bigEndian(bytes, 2));
        const double v = fixed->isSigned ? static_cast<int16_t>(raw) : raw;
        return v / static_cast<double>(1 << fixed->fractionBits);
    }
    return std::nullopt;
}

bool encodeInto(double value, std::string_view type, std::vector<uint8_t>& bytes) {
    if (std::isnan(value)) return false;
    if (type == "fpe2") {
        if (bytes.size() < 2) return false;
        putBigEndian(static_cast<uint32_t>(roundClamp(value * 4, 0, 65535)), 2, bytes);
        return true;
    }
    if (type == "flt ") {
        if (bytes.size() < 4) return false;
        float f = static_cast<float>(value);
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        for (size_t i = 0; i < 4; ++i)
            bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
        return true;
    }
    if (type == "ui8 ") {
        if (bytes.empty()) return false;
        bytes[0] = static_cast<uint8_t>(roundClamp(value, 0, 255));
        return true;
    }
    if (type == "ui16") {
        if (bytes.size() < 2) return false;
        putBigEndian(static_cast<uint32_t>(roundClamp(value, 0, 65535)), 2, bytes);
        return true;
    }
    if (type == "ui32") {
        if (bytes.size() < 4) return false;
        putBigEndian(static_cast<uint32_t>(roundClamp(value, 0, 4294967295.0)), 4, bytes);
        return true;
    }
    if (type == "sp78") {
        if (bytes.size() < 2) return false;
        auto raw = static_cast<int32_t>(roundClamp(value * 256, -32768, 32767));
        putBigEndian(static_cast<uint16_t>(raw), 2, bytes);
        return true;
    }
    if (auto fixed = smcFixedPoint(type)) {
        if (bytes.size() < 2) return false;
        const double scaled = value * static_cast<double>(1 << fixed->fractionBits);
        const auto raw = static_cast<int32_t>(fixed->isSigned ? roundClamp(scaled, -32768, 32767)
                                                              : roundClamp(scaled, 0, 65535));
        putBigEndian(static_cast<uint16_t>(raw), 2, bytes);
        return true;
    }
    return false;
}

}  // namespace smcemu::codec
