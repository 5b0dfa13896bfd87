// Command codes placed in byte 42 of the SMC parameter block.
#pragma once

#include <cstdint>
#include <optional>

enum class SMCCommand : std::uint8_t {
    readBytes = 5,
    writeBytes = 6,
    readIndex = 8,  // the name of the key at a position of the key index
    readKeyInfo = 9,
};

// The command with this raw value; none for any byte other than 5, 6, 8 and 9.
std::optional<SMCCommand> smcCommandFromRaw(std::uint8_t raw);
