// Whether a program may be run as root: only a file that no other user can change or
// replace, in directories no other user can change.
#pragma once

#include <sys/types.h>

#include <string>

struct ToolTrust {
    bool trusted = false;
    // The file with symbolic links resolved: the path to run, since a link along the way
    // could be pointed elsewhere after the check. As given when the file cannot be resolved.
    std::string path;
    // Why it is not trusted, naming the file or directory at fault (for the alerts).
    std::string reason;
};

// Checks the file at path for the user `user` (the one running the application):
// - with links resolved it exists and is a regular file;
// - the file and every directory above it up to / are owned by root or by `user`;
// - none of them is writable by others or by a group, with two exceptions for directories:
//   a root-owned directory with the sticky bit (like /tmp, mode 1777), where others can add
//   entries but cannot rename, remove or replace entries they do not own; and a directory
//   writable only by an administrators' group (gid 0, and on macOS also gid 80 "admin",
//   which owns /Applications).
ToolTrust checkToolTrust(const std::string& path, uid_t user);
// The same for the user running this process.
ToolTrust checkToolTrust(const std::string& path);
