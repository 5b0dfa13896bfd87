// The 16-bit fixed-point data types SMCs keep values in besides the named ones: "spXY"
// signed with X integer and Y fraction bits (X + Y = 15, as "sp78") and "fpXY" unsigned
// (X + Y = 16, as "fp88"), X and Y lowercase hexadecimal digits. The hardware layer decodes
// them and the emulator encodes them from this one reading of the name.
#pragma once

#include <optional>
#include <string_view>

struct SMCFixedPoint {
    bool isSigned;
    int fractionBits;
};

// The type's sign and fraction bits; none for a name that is no such type.
inline std::optional<SMCFixedPoint> smcFixedPoint(std::string_view type) {
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (type.size() != 4) return std::nullopt;
    const bool isSigned = type.substr(0, 2) == "sp";
    if (!isSigned && type.substr(0, 2) != "fp") return std::nullopt;
    const int integer = digit(type[2]);
    const int fraction = digit(type[3]);
    if (integer < 0 || fraction < 0 || integer + fraction != (isSigned ? 15 : 16))
        return std::nullopt;
    return SMCFixedPoint{isSigned, fraction};
}
