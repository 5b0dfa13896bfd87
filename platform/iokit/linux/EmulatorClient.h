// The emulator backend of the Linux IOKit stand-in: the "AppleSMC" service is the SMC
// emulator, reached over a Unix-domain socket. One opened user client is one connection;
// one struct-method call is one request (selector, 80-byte block) and one reply (return
// code, 80-byte block).
#pragma once

#include <cstddef>
#include <string>

#include "IOKitEmu.h"

namespace emulator {

// "/tmp/smcemu.sock", unless SMCEMU_SOCKET names another path.
std::string socketPath();
// Whether SMCEMU_SOCKET is set to a path.
bool socketConfigured();
// A connected socket, or -1 when nobody answers at the path.
int connectService();
// One call on a connected socket. A call that fails on the transport answers
// kIOReturnNotResponding and sets `lost`: the stream may hold a late or partial reply, so
// the caller must not read from it again.
kern_return_t call(int fd, std::uint32_t selector, const void* input, void* output,
                   std::size_t blockSize, bool& lost);

}  // namespace emulator
