// The directories of a Linux build, and what only a Linux build has. Included through Paths.h
// only, which names the files in the directories.
#pragma once

// Orvane's runtime directory: root-owned (0755), made by the first root process that needs it.
// The daemon's socket, lock and forced mark, the boot's record of original fan minimums and
// the applesmc driver's shared files live here, where no other user can plant anything.
#define ORV_PATHS_RUN_DIR "/run/orvane"
// The daemon's log directory (root-owned).
#define ORV_PATHS_LOG_DIR "/var/log/orvane"
// The daemon's standing state (the fans' curves and floors), kept across restarts and boots;
// root-owned.
#define ORV_PATHS_STATE_DIR "/var/lib/orvane"

namespace paths {

// Where root processes take turns at the driver's key selection, and the types of the keys
// root looked up, for processes that cannot select.
inline constexpr const char* kAppleSMCIndexLockPath = ORV_PATHS_RUN_DIR "/applesmc-index.lock";
inline constexpr const char* kAppleSMCKeyTypesPath = ORV_PATHS_RUN_DIR "/applesmc-keys";

// The emulator's socket, when one serves the SMC on a machine without one.
inline constexpr const char* kEmulatorSocketEnv = "SMCEMU_SOCKET";

}  // namespace paths
