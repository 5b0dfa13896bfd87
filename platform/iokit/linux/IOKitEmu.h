// Linux stand-in for the part of IOKit the hardware layer uses: a table of the objects it
// handed out (iterators, services, connections). The "AppleSMC" service is whichever backend
// findSMCService() finds when it is matched (SMCBackend.h): the SMC emulator when its socket
// is named, otherwise the Linux applesmc driver where the running kernel put it. With neither
// there is no "AppleSMC" service, as on a Mac without one. Each opened connection holds its
// own backend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "KernReturn.h"
#include "SMCBackend.h"

using mach_port_t = std::uint32_t;
using io_object_t = std::uint32_t;
using io_iterator_t = io_object_t;
using io_service_t = io_object_t;
using io_connect_t = io_object_t;
using CFMutableDictionaryRef = struct IOEmuMatching*;

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

// Which backend serves "AppleSMC": the one the newest open connection reaches, or with none
// open the one a match would choose. `address` is the emulator's socket or the driver's
// directory (empty for none).
struct IOEmuBackend {
    using Kind = SMCServiceKind;
    Kind kind;
    std::string address;
};
IOEmuBackend IOEmuCurrentBackend();
