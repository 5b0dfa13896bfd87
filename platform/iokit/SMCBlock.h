// The 80-byte parameter block the AppleSMC user client takes and gives back in its struct
// method. As a C structure with the Mac's natural alignment it is: key (uint32) at 0; a
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
