// The driver's attribute files, each read or written with one system call as the driver takes
// them, and where they sit: in the device's directory, or (the layout a pending upstream
// conversion introduces) its fan and temperature files in hwmon/hwmonN/, with fanN_target for
// fanN_output and pwmN_enable for fanN_manual.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "KernReturn.h"

namespace applesmc {

class DriverFiles {
  public:
    // `hwmon` is "hwmon/hwmonN/" when the fan and temperature files sit there, else empty.
    DriverFiles(std::string root, std::string hwmon)
        : root_(std::move(root)), hwmon_(std::move(hwmon)) {}

    bool hwmonLayout() const { return !hwmon_.empty(); }
    // Fan `fan`'s (1-based) attribute ("input", "output", "manual"…) in the driver's layout.
    std::string fanFile(int fan, const std::string& attribute) const;
    // The name of sensor `n`'s files up to their suffix ("_label", "_input").
    std::string temperatureFile(int n) const;
    bool exists(const std::string& name) const;

    // 0 or an errno. A read takes at most `limit` bytes.
    int read(const std::string& name, std::string& text, std::size_t limit = 4096);
    int write(const std::string& name, const std::string& text);

    // Called after every access to a file, with its name and whether it was written. Lets
    // tests model the driver's shared selection on plain files.
    using AccessHook = std::function<void(const std::string& file, bool wrote)>;
    void setAccessHook(AccessHook hook) { hook_ = std::move(hook); }

  private:
    // A file of the directory, opened again when a signal interrupts; -1 with errno.
    int open(const std::string& name, int flags) const;

    std::string root_;
    std::string hwmon_;
    AccessHook hook_;
};

bool pathExists(const std::string& path);
// An errno as the SMC's answer: a refused access is a want of privilege.
kern_return_t fromErrno(int err);
// Makes the directory of root's shared file `path` when it is missing (root only).
void makeParentDirectory(const std::string& path);

}  // namespace applesmc
