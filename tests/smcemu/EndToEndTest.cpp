// The built smcemu program, run as a separate process on sockets in a temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>

#include <csignal>

#include "Server.h"
#include "TestSupport.h"

namespace smcemu {
namespace {

using test::request;
using test::SmcClient;

struct Finished {
    int exitCode = -1;  // -1 when it did not exit normally
    std::string out, err;
};

// Reads everything from `fd` until end of file or until `stop` says enough; gives up after
// `timeoutMs` without data so a broken program cannot hang the test.
std::string readFrom(int fd, int timeoutMs, const std::function<bool(const std::string&)>& stop) {
    std::string text;
    char buf[512];
    while (!stop(text)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

pid_t spawn(const std::vector<std::string>& args, int& outFd, int& errFd) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    outFd = out[0];
    errFd = err[0];
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the program to its end.
Finished run(std::vector<std::string> args) {
    args.insert(args.begin(), SMCEMU_BINARY);
    Finished f;
    int outFd, errFd;
    pid_t pid = spawn(args, outFd, errFd);
    if (pid < 0) return f;
    auto never = [](const std::string&) { return false; };
    f.out = readFrom(outFd, 10000, never);
    f.err = readFrom(errFd, 10000, never);
    close(outFd);
    close(errFd);
    f.exitCode = waitExit(pid);
    return f;
}

// The emulator running for the length of one test.
class EmulatorProcess {
  public:
    EmulatorProcess(const std::string& profile, const std::string& socketPath) {
        pid_ = spawn({SMCEMU_BINARY, "--profile", profile, "--socket", socketPath}, outFd_, errFd_);
        if (pid_ > 0)
            banner_ = readFrom(errFd_, 10000, [](const std::string& text) {
                return text.find('\n') != std::string::npos;
            });
    }
    ~EmulatorProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitExit(pid_);
        }
        if (outFd_ >= 0) close(outFd_);
        if (errFd_ >= 0) close(errFd_);
    }
    const std::string& banner() const { return banner_; }
    // Sends `sig` and waits for the exit code.
    int stop(int sig) {
        kill(pid_, sig);
        int code = waitExit(pid_);
        pid_ = -1;
        return code;
    }

  private:
    pid_t pid_ = -1;
    int outFd_ = -1, errFd_ = -1;
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
    Finished calls = run({"ctl", "--control", sock + ".ctl", "calls"});
    EXPECT_EQ(calls.exitCode, 0);
    EXPECT_EQ(calls.out, "OK 2\n");
    Finished fault =
        run({"ctl", "--control", sock + ".ctl", "fault", "\"FS! \"", "read", "e00002bc"});
    EXPECT_EQ(fault.exitCode, 0) << fault.out << fault.err;
    auto failed = client.call(request("FS! ", kCmdRead, 2));
    ASSERT_TRUE(failed);
    EXPECT_EQ(static_cast<uint32_t>(failed->first), 0xE00002BCu);
    Finished bad = run({"ctl", "--control", sock + ".ctl", "load", "2"});
    EXPECT_EQ(bad.exitCode, 1);
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

    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        SmcClient client(sock);
        if (!client.connected()) _exit(11);
        auto read = client.call(request("F0Md", kCmdRead, 1));
        if (!read || read->first != 0) _exit(12);
        auto write = client.call(request("F0Md", kCmdWrite, 1, {1}));
        if (!write) _exit(13);
        _exit(static_cast<uint32_t>(write->first) == 0xE00002C1u ? 0 : 14);
    }
    EXPECT_EQ(waitExit(child), 0);

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
    Finished r = run({"--profile", profile, "--socket", dir.file("s.sock")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(profile + ":2: "), std::string::npos) << r.err;
    EXPECT_NE(access(dir.file("s.sock").c_str(), F_OK), 0);
}

TEST(EndToEnd, ControlClientWithoutEmulatorFails) {
    test::TempDir dir;
    Finished r = run({"ctl", "--control", dir.file("none.ctl"), "status"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace smcemu
