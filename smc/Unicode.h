// Strict UTF-8 decoding and the few Unicode general categories the system trims.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace unicode {

// Decodes UTF-8, rejecting overlong forms, surrogates, values past U+10FFFF and
// truncated or stray continuation bytes.
std::optional<std::u32string> decodeUTF8(std::string_view bytes);
bool isValidUTF8(std::string_view bytes);
std::string encodeUTF8(std::u32string_view text);

bool isControl(char32_t c);         // general category Cc
bool isFormat(char32_t c);          // general category Cf
bool isSpaceSeparator(char32_t c);  // general category Zs

}  // namespace unicode
