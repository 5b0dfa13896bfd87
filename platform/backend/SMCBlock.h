// What crosses to the SMC on every platform: the 80-byte parameter block the AppleSMC user
// client takes and gives back in its struct method, the selector of that method, and the
// command and result bytes. The hardware layer packs it; each backend (IOKit itself, the
// emulator, the applesmc driver) answers it.
//
// As a C structure with the Mac's natural alignment the block is: key (uint32) at 0; a
// version (6 bytes) and a power-limit record (16 bytes); the key info: data size (uint32)
// at 28, data type (uint32) at 32, attributes (1 byte); then result, status and the command
// byte at 40, 41 and 42; a uint32 at 44; and 32 value bytes from 48. Multi-byte fields are
// the host's little-endian order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kSMCBlockSize = 80;
inline constexpr std::size_t kSMCKeyOffset = 0;
inline constexpr std::size_t kSMCDataSizeOffset = 28;
inline constexpr std::size_t kSMCDataTypeOffset = 32;
inline constexpr std::size_t kSMCResultOffset = 40;
inline constexpr std::size_t kSMCCommandOffset = 42;
inline constexpr std::size_t kSMCData32Offset = 44;
inline constexpr std::size_t kSMCBytesOffset = 48;
inline constexpr std::size_t kSMCMaxBytes = 32;

using SMCBlock = std::array<std::uint8_t, kSMCBlockSize>;

// The struct method of the AppleSMC user client, the only one the SMC is reached through.
inline constexpr std::uint32_t kSMCStructMethodSelector = 2;

// Command codes placed in byte 42 of the block.
enum class SMCCommand : std::uint8_t {
    readBytes = 5,
    writeBytes = 6,
    readIndex = 8,  // the name of the key at a position of the key index
    readKeyInfo = 9,
};

// Result bytes (byte 40) an SMC answers with a return code of success.
inline constexpr std::uint8_t kSMCResultKeyNotFound = 0x84;
inline constexpr std::uint8_t kSMCResultBadCommand = 0x89;

// The key that counts the keys of the index ("ui32"); it is not itself in the index.
inline constexpr const char* kSMCKeyCountKey = "#KEY";
