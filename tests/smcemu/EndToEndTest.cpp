// The built smcemu program, run as a separate process on sockets in a temporary directory.
#include <gtest/gtest.h>

#include <csignal>

#include "../support/Process.h"
#include "Server.h"
#include "TestSupport.h"

namespace smcemu {
namespace {

using test::request;
using test::SmcClient;

// Runs the program to its end.
ProcessResult run(std::vector<std::string> args) {
    args.insert(args.begin(), SMCEMU_BINARY);
    return runProcess(args);
}

// The emulator running for the length of one test.
class EmulatorProcess {
  public:
    EmulatorProcess(const std::string& profile, const std::string& socketPath)
        : process_(Process::start({SMCEMU_BINARY, "--profile", profile, "--socket", socketPath})),
          banner_(process_.errLine() + "\n") {}
    const std::string& banner() const { return banner_; }
    // Sends `sig` and waits for the exit code.
    int stop(int sig) {
        process_.signal(sig);
        return process_.finish();
    }

  private:
    Process process_;
    std::string banner_;
};

TEST(EndToEnd, ServesKeyInfoAndReadsAndStopsCleanly) {
    test::TempDir dir;
    std::string sock = dir.file("emu.sock");
    EmulatorProcess emu(std::string(SMCEMU_PROFILE_DIR) + "/older-2fan.prof", sock);
    ASSERT_EQ(emu.banner(), "smcemu: listening on " + sock + "\n");

    SmcClient client(sock);
    ASSERT_TRUE(client.connected()) << client.error();
    auto info = client.call(request("F0Mx", kCmdKeyInfo));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->first, 0);
    EXPECT_EQ(test::le32(&info->second[28]), 2u);
    EXPECT_EQ(test::le32(&info->second[32]), 0x66706532u);  // "fpe2"
    auto read = client.call(request("F0Mx", kCmdRead, 2));
    ASSERT_TRUE(read);
    EXPECT_EQ(test::bytesAt(read->second, 48, 2), (std::vector<uint8_t>{0x5d, 0xc0}));

    // The control client mode of the same program.
    ProcessResult calls = run({"ctl", "--control", sock + ".ctl", "calls"});
    EXPECT_EQ(calls.status, 0);
    EXPECT_EQ(calls.out, "OK 2\n");
    ProcessResult fault =
        run({"ctl", "--control", sock + ".ctl", "fault", "\"FS! \"", "read", "e00002bc"});
    EXPECT_EQ(fault.status, 0) << fault.out << fault.err;
    auto failed = client.call(request("FS! ", kCmdRead, 2));
    ASSERT_TRUE(failed);
    EXPECT_EQ(static_cast<uint32_t>(failed->first), 0xE00002BCu);
    ProcessResult bad = run({"ctl", "--control", sock + ".ctl", "load", "2"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out.rfind("ERR ", 0), 0u);

    EXPECT_EQ(emu.stop(SIGTERM), 0);
    EXPECT_NE(access(sock.c_str(), F_OK), 0);
    EXPECT_NE(access((sock + ".ctl").c_str(), F_OK), 0);
}

TEST(EndToEnd, OrdinaryUserCanReadButNotWrite) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an ordinary user";
    test::TempDir dir;
    std::string sock = dir.file("emu.sock");
    EmulatorProcess emu(std::string(SMCEMU_PROFILE_DIR) + "/recent-2fan.prof", sock);
    ASSERT_NE(emu.banner().find("listening"), std::string::npos) << emu.banner();

    ProcessOptions nobody;
    nobody.uid = 65534;
    Process child = Process::call(
        [&] {
            SmcClient client(sock);
            if (!client.connected()) return 11;
            auto read = client.call(request("F0Md", kCmdRead, 1));
            if (!read || read->first != 0) return 12;
            auto write = client.call(request("F0Md", kCmdWrite, 1, {1}));
            if (!write) return 13;
            return static_cast<uint32_t>(write->first) == 0xE00002C1u ? 0 : 14;
        },
        nobody);
    EXPECT_EQ(child.finish(), 0);

    // The same write from root goes through.
    SmcClient root(sock);
    auto write = root.call(request("F0Md", kCmdWrite, 1, {1}));
    ASSERT_TRUE(write);
    EXPECT_EQ(write->first, 0);
}

TEST(EndToEnd, BadProfileExitsWithFileAndLine) {
    test::TempDir dir;
    std::string profile = dir.file("bad.prof");
    FILE* f = std::fopen(profile.c_str(), "w");
    ASSERT_TRUE(f);
    std::fputs("\"FNum\" \"ui8 \" 1 02\n\"F0Ac\" \"flt \" 4 0000\n", f);
    std::fclose(f);
    ProcessResult r = run({"--profile", profile, "--socket", dir.file("s.sock")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(profile + ":2: "), std::string::npos) << r.err;
    EXPECT_NE(access(dir.file("s.sock").c_str(), F_OK), 0);
}

TEST(EndToEnd, ControlClientWithoutEmulatorFails) {
    test::TempDir dir;
    ProcessResult r = run({"ctl", "--control", dir.file("none.ctl"), "status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace smcemu
