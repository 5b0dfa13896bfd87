// The directories of a macOS build. Included through Paths.h only, which names the files in
// the directories.
#pragma once

// Orvane's runtime directory: root-owned (0755), made by the first root process that needs it.
// The daemon's socket, lock and forced mark and the boot's record of original fan minimums
// live here, where no other user can plant anything.
#define ORV_PATHS_RUN_DIR "/var/run/orvane"
// The daemon's log directory (root-owned).
#define ORV_PATHS_LOG_DIR "/Library/Logs/Orvane"
// The daemon's standing state (the fans' curves and floors), kept across restarts and boots;
// root-owned.
#define ORV_PATHS_STATE_DIR "/Library/Application Support/Orvane"
