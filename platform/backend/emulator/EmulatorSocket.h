// Where the SMC emulator serves, and a connection to it. The environment variable
// paths::kEmulatorSocketEnv names its Unix-domain socket; it is read here and nowhere else, as
// the address of a kernel service belongs to the platform.
//
// Root takes a socket for the SMC only when root or the user who invoked it through sudo
// (paths::kSudoUidEnv) owns it and serves it, reached without a symbolic link: any other user
// could plant a socket at a path root is given (in /tmp, say) and play a machine's SMC to it.
#pragma once

#include <string>

namespace emulator {

// The path the variable names; empty when it is not set.
std::string socketPath();
// A connected socket, or -1 when nobody answers at `path` or, for root, when the socket is
// not one root may trust. Calls on it time out rather than hang on a stalled emulator.
int connectService(const std::string& path);

}  // namespace emulator
