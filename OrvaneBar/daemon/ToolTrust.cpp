#include "ToolTrust.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AppPaths.h"
#include "Texts.h"

namespace {

std::string named(const std::string& path, const std::string& what) {
    return std::string(Texts::trustNamePrefix) + path + Texts::trustNameSuffix + what;
}

bool administratorsGroup(gid_t gid) {
#ifdef __APPLE__
    return gid == 0 || gid == 80;
#else
    return gid == 0;
#endif
}

// The owner and write permissions of one file or directory; empty when acceptable.
std::string ownerProblem(const std::string& path, const struct stat& info, uid_t user,
                         bool directory) {
    if (info.st_uid != 0 && info.st_uid != user) {
        return named(
            path, Texts::trustOwnedPrefix + std::to_string(info.st_uid) + Texts::trustOwnedSuffix);
    }
    bool writable =
        (info.st_mode & S_IWOTH) != 0 ||
        ((info.st_mode & S_IWGRP) != 0 && !(directory && administratorsGroup(info.st_gid)));
    // Others may add entries to a root-owned sticky directory, but cannot touch the ones
    // they do not own, and the next component down is checked to be root's or the user's.
    if (directory && info.st_uid == 0 && (info.st_mode & S_ISVTX) != 0) writable = false;
    return writable ? named(path, Texts::trustWritable) : std::string();
}

}  // namespace

ToolTrust checkToolTrust(const std::string& path, uid_t user) {
    ToolTrust result;
    result.path = path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        result.reason = named(path, Texts::trustMissing);
        return result;
    }
    const std::string real(resolved);
    ::free(resolved);

    struct stat info;
    if (::stat(real.c_str(), &info) != 0) {
        result.reason = named(real, Texts::trustMissing);
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.reason = named(real, Texts::trustNotRegular);
        return result;
    }
    result.reason = ownerProblem(real, info, user, false);
    for (std::string dir = AppPaths::deletingLastComponent(real);
         result.reason.empty() && !dir.empty(); dir = AppPaths::deletingLastComponent(dir)) {
        if (::stat(dir.c_str(), &info) != 0) {
            result.reason = named(dir, Texts::trustMissing);
        } else {
            result.reason = ownerProblem(dir, info, user, true);
        }
        if (dir == "/") break;
    }
    if (!result.reason.empty()) return result;
    result.trusted = true;
    result.path = real;
    return result;
}

ToolTrust checkToolTrust(const std::string& path) {
    return checkToolTrust(path, ::getuid());
}
