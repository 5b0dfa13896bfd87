// The fixed paths of a macOS build. Included through Paths.h only.
#pragma once

namespace paths {

// Orvane's runtime directory: root-owned (0755), made by the first root process that needs it.
// The daemon's socket, lock and forced mark and the boot's record of original fan minimums
// live here, where no other user can plant anything.
inline constexpr const char* kRunDir = "/var/run/orvane";
inline constexpr const char* kSocketPath = "/var/run/orvane/orvane.sock";
inline constexpr const char* kDaemonLockPath = "/var/run/orvane/daemon.lock";
inline constexpr const char* kForcedMarkPath = "/var/run/orvane/daemon-forced";
inline constexpr const char* kMinimumRecordPath = "/var/run/orvane/fan-minimums";

// The daemon's log directory (root-owned) and its file.
inline constexpr const char* kLogDir = "/Library/Logs/Orvane";
inline constexpr const char* kLogPath = "/Library/Logs/Orvane/daemon.log";

}  // namespace paths
