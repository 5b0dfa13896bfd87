// Where the application finds the orvtool executable. Nothing is cached: every value is
// computed again on each use. The fixed paths it shares with the daemon are in Paths.h.
#pragma once

#include <string>

#include "Paths.h"

namespace AppPaths {

// The daemon's log (paths::kLogPath), for the service installer's property list.
inline constexpr const char* daemonLogPath = paths::kLogPath;

// The running executable, with symbolic links resolved. On macOS it is the system's record
// of it (_NSGetExecutablePath). Elsewhere it is the first command-line argument taken as a
// file path (relative to the working directory); when that argument holds no slash (the
// program was found through PATH, so it names no file here) the kernel's record,
// /proc/self/exe, is used instead.
std::string executablePath();
// The directory holding the executable.
std::string exeDir();
// The orvtool executable for the running application (see orvtoolPathFor).
std::string orvtoolPath();

// The rule for a given first argument (with the system's record for a bare name).
std::string executablePathFrom(const std::string& argv0);
// The path with its last component removed ("/a/b" gives "/a", "/a" and "/" give "/").
std::string deletingLastComponent(const std::string& path);
// The tool for an executable: beside it (candidate A), else in the directory four levels
// up, which for an application bundle's executable is the folder holding the bundle
// (candidate B); the first at which a file exists, else A. Whether root may run the file
// is checked where it would be run (checkToolTrust).
std::string orvtoolPathFor(const std::string& executablePath);

}  // namespace AppPaths
