// Running a shell script as root through the platform's administrator prompt, and the
// script that starts the control daemon.
//
// Paths are quoted for the shell (and, on macOS, again for the AppleScript string the
// prompt takes), so an apostrophe or a double quote in a path can neither break the
// command nor add commands to the root shell. The daemon is started with its standard
// streams on /dev/null (it writes its own log, in a root-owned directory: the root shell
// opens no path another user could plant), in a session of its own, so that closing the
// terminal the application was started from does not reach it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Runs a shell script as root and waits until it ends. The result is the launcher's exit
// status, or none when the launcher could not be started. A cancelled password prompt
// shows as a non-zero status.
using PrivilegedLauncher = std::function<std::optional<int>(const std::string& shellScript)>;

// The platform's launcher:
//   macOS:              /usr/bin/osascript -e 'do shell script "…" with administrator privileges',
//                       in a new session (there is no setsid command there)
//   elsewhere, as root: /bin/sh -c SCRIPT
//   elsewhere:          pkexec /bin/sh -c SCRIPT (polkit's password prompt)
// Standard input is /dev/null; the other streams are the application's.
std::optional<int> runAsAdministrator(const std::string& shellScript);

// Starts args[0] (searched in PATH when it holds no slash) with the given arguments and
// standard input from /dev/null, in a new session when asked, and waits for it: its exit
// status (128 plus the signal when a signal ended it), or none when it could not be started.
std::optional<int> runProcess(const std::vector<std::string>& args, bool newSession = false);

// text between apostrophes for a POSIX shell; an apostrophe inside becomes '\''.
std::string shellQuote(const std::string& text);

// The subshell that starts `tool serve` in the background, detached, and returns at once:
//   Linux: (setsid 'TOOL' serve </dev/null >/dev/null 2>&1 &)
//   macOS: (ORVANE_OWNER_UID=UID 'TOOL' serve </dev/null >/dev/null 2>&1 &), its launcher in a
//   new session, UID the user's (the daemon's owner).
std::string daemonStartScript(const std::string& toolPath);

// The AppleScript that runs shellScript as root after the administrator prompt:
// do shell script "…" with administrator privileges, with backslashes and double quotes
// escaped inside the string literal.
std::string adminAppleScript(const std::string& shellScript);
