#include "AppLock.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

std::string userHomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return home;
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string appLockDirectory(const std::string& home) {
    return home + "/Library/Application Support/Orvane";
}

std::string appLockPath(const std::string& home) {
    return appLockDirectory(home) + "/app.lock";
}

int acquireAppLock(const std::string& home) {
    std::error_code ignored;
    std::filesystem::create_directories(appLockDirectory(home), ignored);

    // Close-on-exec: a helper process started later must not inherit the descriptor,
    // or the lock would outlive the application.
    int fd;
    do {
        fd = ::open(appLockPath(home).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;

    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
