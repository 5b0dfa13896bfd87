// The emulator backend of the Linux IOKit stand-in: the "AppleSMC" service is the SMC
// emulator, reached over the Unix-domain socket SMCEMU_SOCKET names. One opened user client
// is one connection; one struct-method call is one request (selector, 80-byte block) and one
// reply (return code, 80-byte block).
//
// Root takes a socket for the SMC only when root or the user who invoked it through sudo
// (SUDO_UID) owns it and serves it, reached without a symbolic link: any other user could
// plant a socket at a path root is given (in /tmp, say) and play a machine's SMC to it.
#pragma once

#include <cstddef>
#include <string>

#include "IOKitEmu.h"

namespace emulator {

// The path SMCEMU_SOCKET names; empty when it is not set.
std::string socketPath();
// Whether SMCEMU_SOCKET is set to a path.
bool socketConfigured();
// A connected socket, or -1 when nobody answers at the path or, for root, when the socket
// is not one root may trust.
int connectService();
// One call on a connected socket. A call that fails on the transport answers
// kIOReturnNotResponding and sets `lost`: the stream may hold a late or partial reply, so
// the caller must not read from it again.
kern_return_t call(int fd, std::uint32_t selector, const void* input, void* output,
                   std::size_t blockSize, bool& lost);

}  // namespace emulator
