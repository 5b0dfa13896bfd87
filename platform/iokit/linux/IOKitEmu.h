// Linux stand-in for the part of IOKit the hardware layer uses. The "AppleSMC"
// service is the SMC emulator, reached over a Unix-domain socket: one opened user
// client is one connection, one struct-method call is one request and one reply.
//
// The socket is "/tmp/smcemu.sock" unless the environment variable SMCEMU_SOCKET
// names another path (the address of the service belongs to the platform, so it
// is read here and nowhere else).
#pragma once

#include <cstddef>
#include <cstdint>

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
inline constexpr kern_return_t kIOReturnNotResponding = static_cast<kern_return_t>(0xE00002ED);

inline constexpr mach_port_t kIOMainPortDefault = 0;
extern mach_port_t mach_task_self_;

// Default address of the emulated service.
inline constexpr const char* SMCEMU_DEFAULT_SOCKET = "/tmp/smcemu.sock";

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
