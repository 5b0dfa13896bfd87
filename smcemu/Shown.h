// A piece of input quoted in an error message or a reply of the emulator: on one line,
// printable ASCII only, its first 40 bytes and "..." when there was more.
#pragma once

#include <string>
#include <string_view>

namespace smcemu {

inline std::string shown(std::string_view s) {
    std::string out;
    for (char c : s.substr(0, 40))
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (s.size() > 40) out += "...";
    return out;
}

}  // namespace smcemu
