// Linux stand-in for the part of IOKit the hardware layer uses. The "AppleSMC" service
// has two backends, chosen when the service is matched:
// - the SMC emulator (EmulatorClient.h), reached over the Unix-domain socket that the
//   environment variable SMCEMU_SOCKET names, and only then (the address of the service
//   belongs to the platform, so it is read here and nowhere else);
// - otherwise the Linux applesmc driver (AppleSMCDriver.h), where the running kernel put it.
// With neither there is no "AppleSMC" service, as on a Mac without one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using kern_return_t = std::int32_t;
using mach_port_t = std::uint32_t;
using io_object_t = std::uint32_t;
using io_iterator_t = io_object_t;
using io_service_t = io_object_t;
using io_connect_t = io_object_t;
using CFMutableDictionaryRef = struct IOEmuMatching*;

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

inline constexpr mach_port_t kIOMainPortDefault = 0;
extern mach_port_t mach_task_self_;

CFMutableDictionaryRef IOServiceMatching(const char* name);
kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort, CFMutableDictionaryRef matching,
                                           io_iterator_t* existing);
io_object_t IOIteratorNext(io_iterator_t iterator);
kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOServiceOpen(io_service_t service, mach_port_t owningTask, std::uint32_t type,
                            io_connect_t* connect);
kern_return_t IOConnectCallStructMethod(io_connect_t connection, std::uint32_t selector,
                                        const void* inputStruct, std::size_t inputStructCnt,
                                        void* outputStruct, std::size_t* outputStructCnt);
kern_return_t IOServiceClose(io_connect_t connect);

// Which backend serves "AppleSMC": the one of the last match, or before any match the one
// a match would choose. `address` is the emulator's socket or the driver's directory
// (empty for none).
struct IOEmuBackend {
    enum class Kind { none, emulator, driver };
    Kind kind;
    std::string address;
};
IOEmuBackend IOEmuCurrentBackend();
