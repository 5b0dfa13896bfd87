#include "Codec.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace applesmc {

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

void putLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string keyName(std::uint32_t code) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<char>(code >> shift));
    return s;
}

std::uint32_t typeCode(std::string type) {
    type.resize(4, ' ');
    std::uint32_t code = 0;
    for (char c : type)
        code = (code << 8) | static_cast<std::uint8_t>(c);
    return code;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::optional<long long> decimal(const std::string& text) {
    const std::string line = firstLine(text);
    if (line.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(line.c_str(), &end, 10);
    if (errno != 0 || end == line.c_str() || *end != '\0') return std::nullopt;
    return value;
}

bool listable(const std::string& name) {
    return name.size() == 4 &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= ' ' && c <= '~'; });
}

int fanNumber(const std::string& key, const char* suffix) {
    if (key.size() != 4 || key[0] != 'F' || key[1] < '0' || key[1] > '9') return 0;
    return key.compare(2, 2, suffix) == 0 ? key[1] - '0' + 1 : 0;
}

Bytes bigEndian16(long long value) {
    const auto v = static_cast<std::uint16_t>(value);
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

Bytes speedBytes(const std::string& type, std::uint32_t size, long long rpm) {
    if (type == "fpe2" && size == 2) return bigEndian16(std::clamp<long long>(rpm, 0, 0x3FFF) * 4);
    // The driver decodes a two-byte speed as fpe2 whatever its type (F{i}Sf is ui16 on some
    // machines): the attribute shows a quarter of the raw value.
    if (type == "ui16" && size == 2) return bigEndian16(std::clamp<long long>(rpm * 4, 0, 0xFFFF));
    if (type == "flt " && size == 4) {
        // A little-endian float, as the SMC of an Intel Mac keeps it.
        const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(rpm));
        return {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
    }
    return {};
}

std::optional<long long> floatRpm(const std::uint8_t* p) {
    const float value = std::bit_cast<float>(le32(p));
    if (!std::isfinite(value) || value < 0 || value >= 4294967296.0F) return std::nullopt;
    return static_cast<long long>(value);
}

Bytes sp78Bytes(long long millidegrees) {
    const long long v = std::llround(static_cast<double>(millidegrees) * 256.0 / 1000.0);
    return bigEndian16(std::clamp<long long>(v, -0x8000, 0x7FFF));
}

}  // namespace applesmc
