#include "DriverFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace applesmc {

std::string DriverFiles::fanFile(int fan, const std::string& attribute) const {
    const std::string n = std::to_string(fan);
    if (hwmon_.empty()) return "fan" + n + "_" + attribute;
    if (attribute == "manual") return hwmon_ + "pwm" + n + "_enable";
    return hwmon_ + "fan" + n + "_" + (attribute == "output" ? "target" : attribute);
}

std::string DriverFiles::temperatureFile(int n) const {
    return hwmon_ + "temp" + std::to_string(n);
}

bool DriverFiles::exists(const std::string& name) const {
    return pathExists(root_ + "/" + name);
}

int DriverFiles::open(const std::string& name, int flags) const {
    int fd;
    do {
        fd = ::open((root_ + "/" + name).c_str(), flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int DriverFiles::read(const std::string& name, std::string& text, std::size_t limit) {
    text.clear();
    int err = 0;
    const int fd = open(name, O_RDONLY);
    if (fd < 0) {
        err = errno;
    } else {
        char buf[256];
        while (text.size() < limit) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) err = errno;
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
    }
    if (hook_) hook_(name, false);
    return err;
}

int DriverFiles::write(const std::string& name, const std::string& text) {
    int err = 0;
    const int fd = open(name, O_WRONLY);
    if (fd < 0) {
        err = errno;
    } else {
        // An attribute takes one write whole; a short one is a failure.
        ssize_t n;
        do {
            n = ::write(fd, text.data(), text.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            err = errno;
        else if (static_cast<std::size_t>(n) != text.size())
            err = EIO;
        ::close(fd);
    }
    if (hook_) hook_(name, true);
    return err;
}

bool pathExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

kern_return_t fromErrno(int err) {
    return (err == EACCES || err == EPERM) ? kIOReturnNotPrivileged : kIOReturnError;
}

void makeParentDirectory(const std::string& path) {
    // Under a directory only root can write (/run), so nobody else can have made or replaced
    // it; the files in it are still opened without following links and checked. Its mode is
    // set outright, so that a strict umask cannot close it to the user's processes.
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0755) == 0) ::chmod(dir.c_str(), 0755);
}

}  // namespace applesmc
