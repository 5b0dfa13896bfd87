// The mark of a daemon that holds fans forced.
//
// The daemon sets the mark before it forces a fan and clears it once it has handed every
// fan back. A daemon that finds the mark when it starts knows that the one before it ended
// without handing the fans back (killed outright, or crashed) and hands them back itself:
// a service manager that restarts a killed daemon thereby returns the fans to automatic
// control. Fans forced by `orvtool set` leave no mark, so a starting daemon leaves them
// alone.
//
// The mark lives beside the boot's record of original minimums, in the same root-owned
// directory that the system clears at boot (paths::kForcedMarkPath), and is never followed
// as a link.
#pragma once

#include <string>

namespace orvtool {

// Whether anything is at the mark's path in a trusted directory (only root can put it
// there); false when the directory is missing or cannot be trusted.
bool forcedMarkPresent(const std::string& path);

// Creates (holding this process's id) or removes the mark; the mark's directory is created
// when missing. 0 on success, else an errno value (EPERM for an untrusted directory).
int setForcedMark(const std::string& path, bool present);

}  // namespace orvtool
