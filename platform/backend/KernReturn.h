// The kernel return codes a backend of the SMC answers with, under IOKit's names and values.
#pragma once

#include <cstdint>

using kern_return_t = std::int32_t;

inline constexpr kern_return_t kIOReturnSuccess = 0;
inline constexpr kern_return_t kIOReturnError = static_cast<kern_return_t>(0xE00002BC);
inline constexpr kern_return_t kIOReturnNoDevice = static_cast<kern_return_t>(0xE00002C0);
inline constexpr kern_return_t kIOReturnNotPrivileged = static_cast<kern_return_t>(0xE00002C1);
inline constexpr kern_return_t kIOReturnBadArgument = static_cast<kern_return_t>(0xE00002C2);
inline constexpr kern_return_t kIOReturnUnsupported = static_cast<kern_return_t>(0xE00002C7);
inline constexpr kern_return_t kIOReturnNotOpen = static_cast<kern_return_t>(0xE00002CD);
// The driver backend's answer to a write the driver cannot make (a key it exposes no
// attribute for, or a type it would encode wrongly).
inline constexpr kern_return_t kIOReturnNotWritable = static_cast<kern_return_t>(0xE00002CF);
// The driver backend's answer when other processes kept moving the shared key selection.
inline constexpr kern_return_t kIOReturnBusy = static_cast<kern_return_t>(0xE00002D5);
inline constexpr kern_return_t kIOReturnNotResponding = static_cast<kern_return_t>(0xE00002ED);
