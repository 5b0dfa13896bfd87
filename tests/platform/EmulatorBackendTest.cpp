// The emulator backend as root: a socket is taken for the SMC only when root or the user who
// invoked sudo owns it and serves it, reached without a link. Each case serves a socket from a
// child process of its own, which answers every call with the selector as the return code and
// the input block as the output.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "../support/Process.h"
#include "../support/SocketClient.h"
#include "Paths.h"
#include "emulator/EmulatorBackend.h"

namespace {

constexpr uid_t kNobody = 65534;

bool exactly(int fd, void* data, std::size_t size, bool send) {
    auto* p = static_cast<unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = send ? ::send(fd, p, size, MSG_NOSIGNAL) : ::recv(fd, p, size, 0);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int serve(const std::string& path, uid_t bindUid, uid_t listenUid) {
    const auto become = [](uid_t uid) {
        return uid == 0 || (::setgid(uid) == 0 && ::setuid(uid) == 0);
    };
    if (!become(bindUid)) return 1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 2;
    if (listenUid != bindUid && !become(listenUid)) return 1;
    if (::listen(fd, 8) != 0) return 3;
    for (;;) {
        const int client = ::accept(fd, nullptr, nullptr);
        unsigned char message[4 + kSMCBlockSize];
        while (client >= 0 && exactly(client, message, sizeof message, false))
            exactly(client, message, sizeof message, true);  // the selector is the return code
        ::close(client);
    }
}

struct Case {
    const char* name;
    uid_t bindUid;    // who owns the socket file
    uid_t listenUid;  // who serves it
    bool viaLink;     // reached through a linked directory
    const char* sudoUid;
    bool trusted;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class EmulatorTrust : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "serving as another user needs root";
        char pattern[] = "/tmp/emulator-trust-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // Anybody may bind a socket in it, as in /tmp.
        ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
        ASSERT_EQ(::mkdir((dir_ + "/real").c_str(), 0777), 0);
        ASSERT_EQ(::chmod((dir_ + "/real").c_str(), 0777), 0);
        ASSERT_EQ(::symlink("real", (dir_ + "/link").c_str()), 0);
    }
    void TearDown() override {
        server_ = Process();
        ::unsetenv(paths::kSudoUidEnv);
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    // The path clients are given, once the child serves it.
    std::string start(const Case& c) {
        const std::string path = dir_ + "/real/smc.sock";
        server_ = Process::call([&] { return serve(path, c.bindUid, c.listenUid); });
        EXPECT_TRUE(waitUntil([&] { return SocketClient::canConnect(path); }))
            << "the server did not start";
        return dir_ + (c.viaLink ? "/link" : "/real") + "/smc.sock";
    }

    std::string dir_;
    Process server_;
};

TEST_P(EmulatorTrust, RootTakesOnlyASocketOfRootOrTheInvokingUser) {
    const Case& c = GetParam();
    const std::string path = start(c);
    if (c.sudoUid) ::setenv(paths::kSudoUidEnv, c.sudoUid, 1);
    const emulator::EmulatorService service(path);
    EXPECT_EQ(service.present(), c.trusted);
    std::unique_ptr<SMCBackend> backend = service.open();
    ASSERT_EQ(backend != nullptr, c.trusted);
    if (!backend) return;
    // The selector and the block cross unchanged, and the answer comes back as it is.
    SMCBlock input{};
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<std::uint8_t>(i * 7);
    SMCBlock output{};
    EXPECT_EQ(backend->call(0xE00002C7, input, output), static_cast<kern_return_t>(0xE00002C7));
    EXPECT_EQ(output, input);
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, EmulatorTrust,
    ::testing::Values(Case{"RootsOwn", 0, 0, false, nullptr, true},
                      Case{"AnotherUsers", kNobody, kNobody, false, nullptr, false},
                      Case{"TheInvokingUsers", kNobody, kNobody, false, "65534", true},
                      Case{"InvokerNotANumber", kNobody, kNobody, false, "65534x", false},
                      Case{"RootsFileAnotherUserServing", 0, kNobody, false, nullptr, false},
                      Case{"RootsThroughALinkedDirectory", 0, 0, true, nullptr, false}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
