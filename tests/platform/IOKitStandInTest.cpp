// Which backend the IOKit stand-in serves "AppleSMC" from, in a private mount namespace
// where a small driver tree is put where each kind of kernel has the driver.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <string>

#include "../support/Process.h"
#include "IOKitEmu.h"
#include "applesmc/Discovery.h"

namespace {

void put(const std::string& dir, const std::string& file, const std::string& text) {
    std::ofstream(dir + "/" + file, std::ios::binary) << text;
}

// A driver holding one key: the selection cannot move, so plain files show it.
bool makeDriver(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0755) != 0) return false;
    put(dir, "key_count", "1\n");
    put(dir, "key_at_index", "0\n");
    put(dir, "key_at_index_name", "FNum\n");
    put(dir, "key_at_index_type", "ui8 \n");
    put(dir, "key_at_index_data_length", "1\n");
    put(dir, "key_at_index_data", "\x02");
    return true;
}

// The backend a new match of "AppleSMC" chooses.
IOEmuBackend matched() {
    io_iterator_t iterator = 0;
    IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching("AppleSMC"), &iterator);
    IOObjectRelease(iterator);
    return IOEmuCurrentBackend();
}

// Runs in a child: a number names the first check that failed, 0 when all held.
int checkBackends() {
    if (::unshare(CLONE_NEWNS) != 0) return 1;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 2;
    if (::mount("tmpfs", "/sys/devices/platform", "tmpfs", 0, "mode=0755") != 0) return 3;
    if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) return 3;  // the index lock
    if (::mount("tmpfs", "/sys/bus/acpi/devices", "tmpfs", 0, "mode=0755") != 0) return 3;
    ::unsetenv("SMCEMU_SOCKET");
    // Neither a driver nor an emulator named: no service, never a default socket.
    if (IOEmuCurrentBackend().kind != IOEmuBackend::Kind::none) return 4;
    io_iterator_t none = 0;
    if (IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching("AppleSMC"), &none) !=
            kIOReturnSuccess ||
        IOIteratorNext(none) != 0)
        return 4;
    IOObjectRelease(none);

    // A T2 kernel's driver, on the ACPI device; a directory without the files is no driver.
    if (::mkdir(APPLESMC_PLATFORM_DIR, 0755) != 0 || !makeDriver(APPLESMC_ACPI_DIR)) return 5;
    if (matched().address != APPLESMC_ACPI_DIR) return 5;
    // A mainline kernel's, on the platform device, is taken first.
    if (::rmdir(APPLESMC_PLATFORM_DIR) != 0 || !makeDriver(APPLESMC_PLATFORM_DIR)) return 5;
    ::setenv("SMCEMU_SOCKET", "/nonexistent/smcemu.sock", 1);
    IOEmuBackend named = matched();
    if (named.kind != IOEmuBackend::Kind::emulator || named.address != "/nonexistent/smcemu.sock")
        return 6;
    ::unsetenv("SMCEMU_SOCKET");
    IOEmuBackend loaded = matched();
    if (loaded.kind != IOEmuBackend::Kind::driver || loaded.address != APPLESMC_PLATFORM_DIR)
        return 7;

    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching("AppleSMC"),
                                     &iterator) != kIOReturnSuccess)
        return 8;
    io_service_t service = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    io_connect_t connection = 0;
    if (service == 0 || IOServiceOpen(service, mach_task_self_, 0, &connection) != 0) return 9;
    IOObjectRelease(service);
    std::array<std::uint8_t, 80> in{};
    std::array<std::uint8_t, 80> out{};
    in[0] = 'm';  // "FNum", little-endian
    in[1] = 'u';
    in[2] = 'N';
    in[3] = 'F';
    in[42] = 9;
    std::size_t size = out.size();
    if (IOConnectCallStructMethod(connection, 2, in.data(), in.size(), out.data(), &size) != 0 ||
        out[28] != 1 || out[32] != ' ' || out[35] != 'u')
        return 10;
    in[28] = 1;
    in[42] = 5;
    if (IOConnectCallStructMethod(connection, 2, in.data(), in.size(), out.data(), &size) != 0 ||
        out[48] != 2)
        return 11;
    // A key the driver has no attribute for is refused as not writable.
    in[42] = 6;
    if (IOConnectCallStructMethod(connection, 2, in.data(), in.size(), out.data(), &size) !=
        kIOReturnNotWritable)
        return 12;
    if (IOServiceClose(connection) != kIOReturnSuccess) return 13;
    return 0;
}

TEST(IOKitStandIn, ServesTheDriverWhenItIsLoadedAndNoEmulatorIsNamed) {
    if (::geteuid() != 0) GTEST_SKIP() << "a mount namespace needs root";
    EXPECT_EQ(Process::call(checkBackends).finish(), 0) << "the check of that number failed";
}

}  // namespace
