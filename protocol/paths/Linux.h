// The fixed paths and environment variables of a Linux build. Included through Paths.h only.
#pragma once

namespace paths {

// Orvane's runtime directory: root-owned (0755), made by the first root process that needs it.
// The daemon's socket, lock and forced mark, the boot's record of original fan minimums and
// the applesmc driver's shared files live here, where no other user can plant anything.
inline constexpr const char* kRunDir = "/run/orvane";
inline constexpr const char* kSocketPath = "/run/orvane/orvane.sock";
inline constexpr const char* kDaemonLockPath = "/run/orvane/daemon.lock";
inline constexpr const char* kForcedMarkPath = "/run/orvane/daemon-forced";
inline constexpr const char* kMinimumRecordPath = "/run/orvane/fan-minimums";
// Where root processes take turns at the driver's key selection, and the types of the keys
// root looked up, for processes that cannot select.
inline constexpr const char* kAppleSMCIndexLockPath = "/run/orvane/applesmc-index.lock";
inline constexpr const char* kAppleSMCKeyTypesPath = "/run/orvane/applesmc-keys";

// The daemon's log directory (root-owned), its file and the one old file kept on rotation.
inline constexpr const char* kLogDir = "/var/log/orvane";
inline constexpr const char* kLogPath = "/var/log/orvane/daemon.log";

// The emulator's socket, when one serves the SMC on a machine without one.
inline constexpr const char* kEmulatorSocketEnv = "SMCEMU_SOCKET";

}  // namespace paths
