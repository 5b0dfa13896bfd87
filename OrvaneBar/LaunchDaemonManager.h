// The password-free control service (installed as a system launch daemon).
// So far the installed-state test the menu needs and the restart the daemon client asks
// for; installing and removing it come with the service installer.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

class LaunchDaemonManager {
  public:
    static constexpr const char* defaultPlistPath =
        "/Library/LaunchDaemons/com.orvane.orvtool.plist";

    // The path is a seam for tests; the application always uses the default.
    explicit LaunchDaemonManager(std::string plistPath = defaultPlistPath)
        : plistPath(std::move(plistPath)) {}

    // A file exists at plistPath.
    bool isInstalled() const {
        struct stat info;
        return ::stat(plistPath.c_str(), &info) == 0;
    }

    // Restarts the installed service; false when it is not installed or the restart
    // could not be started. PLACEHOLDER until the service installer lands: the service
    // manager is not driven yet, so an installed service is reported as not restarted.
    bool kickstartIfInstalled() const {
        if (!isInstalled()) return false;
        std::fprintf(stderr,
                     "OrvaneBar: restarting the service is not available in this build yet\n");
        return false;
    }

    const std::string plistPath;
};
