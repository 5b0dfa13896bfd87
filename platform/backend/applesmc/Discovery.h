// Where kernels put the applesmc driver, and the service it is. Mainline kernels (Intel Macs
// before the T2 chip): a platform device. Kernels with the T2 patch series: an ACPI driver for
// the device APP0001, which also encodes "flt " speeds as floats and writes a fan's mode key
// through fanN_manual.
#pragma once

#include <optional>
#include <string>

#include "SMCBackend.h"

inline constexpr const char* APPLESMC_PLATFORM_DIR = "/sys/devices/platform/applesmc.768";
inline constexpr const char* APPLESMC_ACPI_DIR = "/sys/bus/acpi/devices/APP0001:00";

struct AppleSMCDriverLocation {
    AppleSMCDriverLocation(std::string dir, bool patchedDriver = false)
        : directory(std::move(dir)), patched(patchedDriver) {}
    std::string directory;
    bool patched;  // the T2 patch series' driver
};

// The first of the two places that holds the driver's files (its key_count), or none.
std::optional<AppleSMCDriverLocation> findAppleSMCDriver();

// "hwmon/hwmonN/" when the driver's fan and temperature files sit in its hwmon device rather
// than in `directory` itself, else empty.
std::string appleSMCHwmonPrefix(const std::string& directory);

// The driver as the "AppleSMC" service: there with its files; every user client opened on it
// is a driver backend of its own, on the files where they are when it opens.
class AppleSMCService : public SMCService {
  public:
    explicit AppleSMCService(AppleSMCDriverLocation where) : where_(std::move(where)) {}
    SMCServiceKind kind() const override { return SMCServiceKind::driver; }
    std::string address() const override { return where_.directory; }
    bool present() const override { return true; }
    std::unique_ptr<SMCBackend> open() const override;

  private:
    AppleSMCDriverLocation where_;
};
