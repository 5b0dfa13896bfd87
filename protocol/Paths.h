// Every fixed path and environment variable that the daemon, the tool and the application
// share, in one place: the platform's own header names the directories (and what only that
// platform has), this one the files in them and what is the same everywhere.
#pragma once

#ifdef __APPLE__
#include "paths/MacOS.h"
#else
#include "paths/Linux.h"
#endif

// The log file's name, and the old file kept when it rotates.
#define ORV_PATHS_LOG_NAME "daemon.log"

namespace paths {

// The runtime directory and the daemon's socket, lock and forced mark in it, and the boot's
// record of original fan minimums.
inline constexpr const char* kRunDir = ORV_PATHS_RUN_DIR;
inline constexpr const char* kSocketPath = ORV_PATHS_RUN_DIR "/orvane.sock";
inline constexpr const char* kDaemonLockPath = ORV_PATHS_RUN_DIR "/daemon.lock";
inline constexpr const char* kForcedMarkPath = ORV_PATHS_RUN_DIR "/daemon-forced";
inline constexpr const char* kMinimumRecordPath = ORV_PATHS_RUN_DIR "/fan-minimums";

// The daemon's standing state: the directory, and the file of the fans' curves and floors
// in it.
inline constexpr const char* kStateDir = ORV_PATHS_STATE_DIR;
inline constexpr const char* kStandingName = "curves";
inline constexpr const char* kStandingPath = ORV_PATHS_STATE_DIR "/curves";

// The address scripts have always used; the daemon binds it too when it can. A client that
// finds no daemon at kSocketPath tries it, and trusts only a listener of its own user or
// root there.
inline constexpr const char* kFallbackSocketPath = "/tmp/orvane.sock";

// The daemon's log directory, the log file's name in it, its path, and the old file kept when
// it rotates.
inline constexpr const char* kLogDir = ORV_PATHS_LOG_DIR;
inline constexpr const char* kLogName = ORV_PATHS_LOG_NAME;
inline constexpr const char* kLogPath = ORV_PATHS_LOG_DIR "/" ORV_PATHS_LOG_NAME;
inline constexpr const char* kLogOldName = ORV_PATHS_LOG_NAME ".1";

// The user a daemon counts as its owner (who may make it quit): set by sudo and pkexec for
// the user who invoked them, and by the installed service (or the application's detached
// start) for the user who installed or started it.
inline constexpr const char* kSudoUidEnv = "SUDO_UID";
inline constexpr const char* kPkexecUidEnv = "PKEXEC_UID";
inline constexpr const char* kOwnerUidEnv = "ORVANE_OWNER_UID";

}  // namespace paths

#undef ORV_PATHS_RUN_DIR
#undef ORV_PATHS_LOG_DIR
#undef ORV_PATHS_LOG_NAME
#undef ORV_PATHS_STATE_DIR
