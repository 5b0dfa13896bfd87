// A whole decimal number, optionally negative, and nothing else: how the protocol's texts
// write every number that is not a temperature.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace protocol {

inline std::optional<std::int64_t> wholeNumber(std::string_view text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

}  // namespace protocol
