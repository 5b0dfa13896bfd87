#include "FanName.h"

#include <cstdint>
#include <string_view>

#include "FanKeys.h"
#include "Unicode.h"

std::string fallbackFanName(int fan) {
    return "Fan " + std::to_string(fan);
}

std::string fanNameFromRecord(const SMCBytes& b, int fan) {
    if (b.size() < 4) return fallbackFanName(fan);
    std::uint64_t n = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                      std::uint32_t(b[3]) << 24;
    if (n != 0 && b.size() >= n + 4) {
        std::string text(b.begin() + 4, b.begin() + 4 + static_cast<std::ptrdiff_t>(n));
        return unicode::isValidUTF8(text) ? text : fallbackFanName(fan);
    }

    auto decoded = unicode::decodeUTF8(std::string(b.begin(), b.end()));
    if (!decoded || decoded->empty()) return fallbackFanName(fan);
    auto trimmed = [](char32_t c) { return unicode::isControl(c) || unicode::isFormat(c); };
    std::u32string_view text = *decoded;
    while (!text.empty() && trimmed(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && trimmed(text.back()))
        text.remove_suffix(1);
    return unicode::encodeUTF8(text);
}

std::string readFanName(SMCConnection& smc, int fan) {
    auto bytes = smc.tryReadBytes(FanKeys::idKey(fan));
    if (!bytes) bytes = smc.tryReadBytes(FanKeys::idCapitalKey(fan));
    if (!bytes) return fallbackFanName(fan);
    return fanNameFromRecord(*bytes, fan);
}
