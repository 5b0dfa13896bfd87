// Every fixed path and environment variable that the daemon, the tool and the application
// share, in one place: the platform's own header holds the paths, this one what is the same
// everywhere.
#pragma once

#ifdef __APPLE__
#include "paths/MacOS.h"
#else
#include "paths/Linux.h"
#endif

namespace paths {

// The address scripts have always used; the daemon binds it too when it can. A client that
// finds no daemon at kSocketPath tries it, and trusts only a listener of its own user or
// root there.
inline constexpr const char* kFallbackSocketPath = "/tmp/orvane.sock";

// The log file's name in kLogDir, and the old file kept when it rotates.
inline constexpr const char* kLogName = "daemon.log";
inline constexpr const char* kLogOldName = "daemon.log.1";

// The user a daemon counts as its owner (who may make it quit): set by sudo and pkexec for
// the user who invoked them, and by the installed service (or the application's detached
// start) for the user who installed or started it.
inline constexpr const char* kSudoUidEnv = "SUDO_UID";
inline constexpr const char* kPkexecUidEnv = "PKEXEC_UID";
inline constexpr const char* kOwnerUidEnv = "ORVANE_OWNER_UID";

}  // namespace paths
