// The applesmc driver's directory served by a real smcemu (--driver-fs) inside a test's
// private mount namespace, where the kernel of each driver puts it: tmpfs covers
// /sys/devices/platform and /sys/bus/acpi/devices there; the mainline driver's files are
// mounted on /sys/devices/platform/applesmc.768, the patched (t2) driver's on an ACPI node
// that /sys/bus/acpi/devices/APP0001:00 links to, as on a T2 kernel. The emulator's sockets
// live outside the namespace (under /dev/shm), so the test reaches the control channel
// directly; SMCEMU_SOCKET is left alone. Needs root and /dev/fuse.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "PrivateTmp.h"

class DriverTree {
  public:
    static constexpr const char* kPlatformDirectory = "/sys/devices/platform/applesmc.768";
    static constexpr const char* kAcpiDirectory = "/sys/bus/acpi/devices/APP0001:00";
    // Where programs find the files of `driver` ("mainline" or "t2").
    static std::string directoryFor(const std::string& driver);

    // Whether this machine can serve FUSE file systems at all.
    static bool fuseAvailable();

    // Starts the emulator on a profile file with the driver "mainline" or "t2", its files in
    // the layout "device" (the default) or "hwmon".
    DriverTree(PrivateTmp& ns, const std::string& profile, const std::string& driver = "mainline",
               const std::string& layout = "device");
    ~DriverTree();
    DriverTree(const DriverTree&) = delete;
    DriverTree& operator=(const DriverTree&) = delete;

    // Whether the files are mounted; error() says why not (with the emulator's output).
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

    // Where programs in the namespace find the files.
    const std::string& directory() const { return directory_; }
    // A file of the driver's directory as the test process reaches it.
    std::string path(const std::string& file) const;

    // Reads a whole file, or writes `text` to it in one write(2), as user `uid` from a
    // process inside the namespace. The result's error is 0, the errno of the failing call, or
    // -1 when the process could not be set up.
    struct Result {
        int error = 0;
        std::string text;
    };
    Result read(const std::string& file, uid_t uid = 0) const;
    int write(const std::string& file, const std::string& text, uid_t uid = 0) const;

    // Stops the emulator (SIGTERM), which unmounts the files. Returns its exit status, -1
    // when it did not exit normally or was not running; log() then holds its output.
    int stop();
    std::string log() const;

    // One control line to the emulator; the reply line without its line feed.
    std::string control(const std::string& line) const;
    // A key's current bytes, read through the control channel.
    std::vector<std::uint8_t> value(const std::string& key) const;

  private:
    Result access(const std::string& file, const std::string* text, uid_t uid) const;

    PrivateTmp& ns_;
    std::string directory_;
    std::string dir_;  // sockets and log, outside the namespace
    pid_t pid_ = -1;
    bool ok_ = false;
    std::string error_;
};
