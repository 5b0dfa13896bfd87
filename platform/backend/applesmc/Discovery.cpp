#include "Discovery.h"

#include <filesystem>

#include "AppleSMCDriver.h"
#include "DriverFiles.h"

std::optional<AppleSMCDriverLocation> findAppleSMCDriver() {
    // The files decide, not the directory: a device without its driver bound has none.
    if (applesmc::pathExists(std::string(APPLESMC_PLATFORM_DIR) + "/key_count"))
        return AppleSMCDriverLocation(APPLESMC_PLATFORM_DIR, false);
    if (applesmc::pathExists(std::string(APPLESMC_ACPI_DIR) + "/key_count"))
        return AppleSMCDriverLocation(APPLESMC_ACPI_DIR, true);
    return std::nullopt;
}

std::string appleSMCHwmonPrefix(const std::string& directory) {
    using applesmc::pathExists;
    // Fan and temperature files in the device's directory, or else in its hwmon device.
    if (pathExists(directory + "/fan1_input") || pathExists(directory + "/temp1_input")) return "";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory + "/hwmon", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("hwmon", 0) == 0 && (pathExists(entry.path().string() + "/fan1_input") ||
                                            pathExists(entry.path().string() + "/temp1_input")))
            return "hwmon/" + name + "/";
    }
    return "";
}

std::unique_ptr<SMCBackend> AppleSMCService::open() const {
    // Every open looks for the files again (the driver's place, then its hwmon device, in the
    // backend): after a wake the driver may have created them anew (a new hwmonN), and a
    // client that opens its connection again must reach them where they are now.
    return std::make_unique<AppleSMCDriver>(findAppleSMCDriver().value_or(where_));
}
