// The single-instance guard: an exclusive advisory lock on a file in the user's
// Application Support folder, held for the life of the process.
#pragma once

#include <string>

// The user's home directory: $HOME, or the password database when HOME is unset.
std::string userHomeDirectory();

// home + "/Library/Application Support/Orvane" and that + "/app.lock".
std::string appLockDirectory(const std::string& home);
std::string appLockPath(const std::string& home);

// Creates the lock directory (errors ignored), opens the lock file and takes the lock
// without waiting. Returns the open descriptor, which the caller never closes, or -1
// when the file cannot be opened or another process holds the lock.
int acquireAppLock(const std::string& home);
