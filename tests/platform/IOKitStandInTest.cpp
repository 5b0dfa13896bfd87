// Which backend the IOKit stand-in serves "AppleSMC" from, in a private mount namespace
// where a small driver tree is mounted at the driver's fixed path.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <string>

#include "IOKitEmu.h"

namespace {

void put(const std::string& file, const std::string& text) {
    std::ofstream(std::string(APPLESMC_DRIVER_DIR) + "/" + file, std::ios::binary) << text;
}

// Runs in a child: a number names the first check that failed, 0 when all held.
int checkBackends() {
    if (::unshare(CLONE_NEWNS) != 0) return 1;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 2;
    if (::mount("tmpfs", "/sys/devices/platform", "tmpfs", 0, "mode=0755") != 0) return 3;
    if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) return 3;  // the index lock
    ::unsetenv("SMCEMU_SOCKET");
    if (IOEmuCurrentBackend().kind != IOEmuBackend::Kind::emulator) return 4;

    // A driver holding one key: the selection cannot move, so plain files show it.
    if (::mkdir(APPLESMC_DRIVER_DIR, 0755) != 0) return 5;
    put("key_count", "1\n");
    put("key_at_index", "0\n");
    put("key_at_index_name", "FNum\n");
    put("key_at_index_type", "ui8 \n");
    put("key_at_index_data_length", "1\n");
    put("key_at_index_data", "\x02");
    ::setenv("SMCEMU_SOCKET", "/nonexistent/smcemu.sock", 1);
    IOEmuBackend named = IOEmuCurrentBackend();
    if (named.kind != IOEmuBackend::Kind::emulator || named.address != "/nonexistent/smcemu.sock")
        return 6;
    ::unsetenv("SMCEMU_SOCKET");
    IOEmuBackend loaded = IOEmuCurrentBackend();
    if (loaded.kind != IOEmuBackend::Kind::driver || loaded.address != APPLESMC_DRIVER_DIR)
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
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(checkBackends());
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the check of that number failed";
}

}  // namespace
