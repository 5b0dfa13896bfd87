// The password-free control service: orvtool installed as a permanent system service that
// runs `serve`, installed and removed with one administrator prompt, and restarted when the
// daemon does not answer (with a prompt only where the user may not restart it).
//
// The installed state is never stored: it is whether the service property list exists.
// On macOS launchd runs the service from that property list. On Linux the same files are
// placed at the same paths, and systemd runs the service from a unit installed beside
// them; the launchd steps map onto systemctl (load: daemon-reload, enable: enable,
// forced restart: restart, unload: disable --now and removal of the unit).
//
// Paths inserted into the scripts are quoted for the shell (and the whole script again for
// AppleScript on macOS), and escaped in the XML and the unit, so that odd characters can
// neither break a command nor corrupt a file. Ordinary paths give the plain texts.
//
// What root copies into place is staged in a directory of the user's own, made with a
// unique name and mode 0700 under the user's temporary directory (no other user can
// enter it, replace it or guess it in advance), and removed once the script has ended.
// The script still refuses links: it copies only when the staging directory is a
// directory and every source a regular file, none of them a symbolic link, compares each
// copy with its source, and ends with a non-zero status at the first failure. The tool is
// copied only when root may run it (checkToolTrust), by its resolved path.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "PrivilegedLauncher.h"

// How the service is run: launchd on macOS, systemd elsewhere.
enum class ServiceManagerKind { launchd, systemd };

// The service's label, which also names its property list, its installed tool and its unit.
#define ORV_SERVICE_LABEL "com.orvane.orvtool"

class LaunchDaemonManager {
  public:
    static constexpr const char* label = ORV_SERVICE_LABEL;
    static constexpr const char* defaultPlistPath =
        "/Library/LaunchDaemons/" ORV_SERVICE_LABEL ".plist";
    static constexpr const char* defaultInstallBinPath =
        "/Library/PrivilegedHelperTools/" ORV_SERVICE_LABEL;
    static constexpr const char* defaultUnitPath =
        "/etc/systemd/system/" ORV_SERVICE_LABEL ".service";
    static constexpr const char* unitName = ORV_SERVICE_LABEL ".service";
    static constexpr const char* launchctlPath = "/bin/launchctl";

#ifdef __APPLE__
    static constexpr ServiceManagerKind hostKind = ServiceManagerKind::launchd;
#else
    static constexpr ServiceManagerKind hostKind = ServiceManagerKind::systemd;
#endif

    // Everything the manager depends on; the application uses the defaults, tests replace
    // them. Empty values take their defaults.
    struct Options {
        std::string plistPath;                  // defaultPlistPath
        std::string installBinPath;             // defaultInstallBinPath
        std::string unitPath;                   // defaultUnitPath
        std::string systemctl;                  // "systemctl" (found through PATH)
        std::string tempDir;                    // the user's temporary directory
        std::string logPath;                    // AppPaths::daemonLogPath
        std::function<std::string()> toolPath;  // AppPaths::orvtoolPath
        PrivilegedLauncher launcher;            // runAsAdministrator
        // Runs a command as the user and waits for it (see runProcess).
        std::function<std::optional<int>(const std::vector<std::string>&)> run;  // runProcess
        ServiceManagerKind kind = hostKind;
        // The service's configured user, whom the daemon lets make it quit and keeps
        // connection places for (paths::kOwnerUidEnv); none: the user installing it. Root
        // needs no entry.
        std::optional<uid_t> ownerUid;
    };

    LaunchDaemonManager();
    explicit LaunchDaemonManager(Options options);
    explicit LaunchDaemonManager(std::string plistPath);

    // A file exists at the property list's path. One stat, no process.
    bool isInstalled() const;

    // Run in the background; `then` is called later on the main thread with one queued
    // call, with true exactly when the privileged script exited with status 0. Installing
    // fails at once (no prompt) when the tool is missing or not one root may run, or when
    // the files cannot be staged.
    void install(std::function<void(bool)> then) const;
    void uninstall(std::function<void(bool)> then) const;

    // Restarts the installed service, blocking: false at once when it is not installed.
    // The restart is first run as the user, without a prompt; when that is refused (a
    // non-zero status, as launchd and systemd give a user who may not restart system
    // services) or cannot be run, the same restart runs as root after the administrator
    // prompt. True when one of them ended with status 0. Background work only.
    bool kickstartIfInstalled() const;

    // The texts, for the scripts and for tests. Both name the service's configured user
    // (nothing for root). The unit is the packaged one (packaging/com.orvane.orvtool.service)
    // with this installation's tool and log.
    std::string servicePropertyList() const;
    std::string unitText() const;
    // A new private staging directory under tempDir (com.orvane.orvtool.XXXXXX, mode
    // 0700); none when it cannot be made.
    std::optional<std::string> makeStagingDir() const;
    // The files the install script copies into place, in a staging directory.
    static std::string stagedPlistPath(const std::string& stagingDir);
    static std::string stagedUnitPath(const std::string& stagingDir);
    // The shell scripts run as root (on macOS wrapped by adminAppleScript).
    std::string installScript(const std::string& toolPath, const std::string& stagingDir) const;
    std::string uninstallScript() const;
    // The command kickstartIfInstalled runs, and the same as a root script (every word
    // quoted for the shell).
    std::vector<std::string> kickstartCommand() const;
    std::string kickstartScript() const;

    const Options& options() const {
        return options_;
    }
    const std::string& plistPath() const {
        return options_.plistPath;
    }

  private:
    // Runs the script with the launcher on a background thread, then removes `cleanUp`
    // (when given), and hands the result to `then` with one queued call to the main thread.
    void runPrivileged(const std::string& script, std::function<void(bool)> then,
                       const std::string& cleanUp = "") const;

    Options options_;
};

#undef ORV_SERVICE_LABEL

// Submits `then(result)` to the main thread with one queued call.
void postResult(std::function<void(bool)> then, bool result);
