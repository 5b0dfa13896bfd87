// The password-free control service (installed as a system launch daemon).
// So far only the installed-state test the menu needs; installing and removing it come
// with the service installer.
#pragma once

#include <sys/stat.h>

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

    const std::string plistPath;
};
