// The byte forms the driver backend converts between: the parameter block's little-endian
// fields, key and type codes, the driver's decimal texts, and fan speeds and temperatures as
// the SMC holds them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SMCBlock.h"

namespace applesmc {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t le32(const std::uint8_t* p);
void putLE32(std::uint8_t* p, std::uint32_t v);

// The four name bytes of a key code, most significant first.
std::string keyName(std::uint32_t code);
// A name of four characters as a code; a type the driver shows shorter is padded with the
// spaces it stands for.
std::uint32_t typeCode(std::string type);

// An attribute's text without its line feed. Names keep their trailing spaces ("FS! ").
std::string firstLine(const std::string& text);
// The first line as a decimal number; none when it is not exactly one.
std::optional<long long> decimal(const std::string& text);

// Four printable characters: a key or type name that fits a line of the list of types.
bool listable(const std::string& name);
// The driver's fan number (1-based) of a key "F{i}" + suffix, or 0 for any other key.
int fanNumber(const std::string& key, const char* suffix);

Bytes bigEndian16(long long value);
// A whole rpm as the SMC holds a fan speed of `type`; empty for a type no speed has.
Bytes speedBytes(const std::string& type, std::uint32_t size, long long rpm);
// A little-endian float's value as whole rpm (truncated, as the driver takes it); none for
// a value no speed has.
std::optional<long long> floatRpm(const std::uint8_t* p);
// Millidegrees Celsius as "sp78" (signed 8.8 fixed point) bytes.
Bytes sp78Bytes(long long millidegrees);

}  // namespace applesmc
