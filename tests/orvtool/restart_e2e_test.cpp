// Fans handed back across processes on both machine families: the real orvtool binary in
// a private /tmp and /run (a fresh boot's), on a real emulator.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "Emulator.h"
#include "FanController.h"
#include "Paths.h"
#include "PrivateTmp.h"
#include "Serve.h"
#include "ServeLock.h"

namespace {

// One request on a fresh connection; the reply line without its line feed, empty when
// nobody answers.
std::string ask(const std::string& socketPath, const std::string& line) {
    return askSocket(socketPath, line).value_or("");
}

class RestartTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "SMC writes and a private /run need root";
        ASSERT_TRUE(tmp.ok()) << tmp.error();
        factory = emu.value("F0Mn");
    }
    pid_t startDaemon() {
        const pid_t pid = tmp.start({ORVTOOL_BINARY, "serve"}, "/tmp/orvane-daemon.log");
        EXPECT_TRUE(tmp.waitForSocket("/tmp/orvane.sock", pid));
        return pid;
    }
    bool modeKeys() const { return std::string(GetParam()) == "recent-2fan.prof"; }
    // Whether fan 0 is forced in the SMC: mode byte set, or minimum off the factory one.
    bool forced() {
        if (modeKeys()) return emu.value("F0Md") != std::vector<std::uint8_t>{0};
        return emu.value("F0Mn") != factory;
    }

    // The daemon run in a child of this process, by calling cmdServe twice in a row inside
    // the namespace. After each return the child writes one line to `report`: the status,
    // whether the descriptors open are those before the first run, whether the main socket
    // file is gone and whether the lock is free again.
    pid_t serveInChild(int report) {
        const pid_t pid = ::fork();
        if (pid != 0) return pid;
        if (::setns(tmp.namespaceFd(), CLONE_NEWNS) != 0 || ::chdir("/") != 0) ::_exit(90);
        FanController::Options options;
        options.keepRecord = true;
        FanController ctl(options);
        const int before = openDescriptors();
        for (int run = 0; run < 2; ++run) {
            const int status = orvtool::cmdServe(ctl);
            const bool sameFds = openDescriptors() == before;
            struct stat st {};
            const bool socketGone = ::lstat(paths::kSocketPath, &st) != 0;
            const orvtool::DaemonLock lock = orvtool::takeDaemonLock(paths::kDaemonLockPath);
            if (lock.fd >= 0) ::close(lock.fd);
            const std::string line = "status=" + std::to_string(status) +
                                     " fds=" + (sameFds ? "same" : "leaked") +
                                     " socket=" + (socketGone ? "gone" : "left") +
                                     " lock=" + (lock.fd >= 0 ? "free" : "held") + "\n";
            if (::write(report, line.data(), line.size()) < 0) ::_exit(91);
        }
        ::_exit(0);
    }
    static int openDescriptors() {
        DIR* dir = ::opendir("/proc/self/fd");
        int count = 0;
        while (dir != nullptr && ::readdir(dir) != nullptr)
            ++count;
        if (dir != nullptr) ::closedir(dir);
        return count;
    }

    // Whether a daemon's mark of forced fans is there.
    bool marked() const {
        struct stat st {};
        return ::lstat(tmp.path("/run/orvane/daemon-forced").c_str(), &st) == 0;
    }

    Emulator emu{Emulator::shippedProfile(GetParam())};
    PrivateTmp tmp;
    std::vector<std::uint8_t> factory;
};

}  // namespace

TEST_P(RestartTest, KilledDaemonsFansGoBackWhenTheNextOneStarts) {
    const std::string socket = tmp.path("/tmp/orvane.sock");
    const pid_t first = startDaemon();
    EXPECT_EQ(ask(socket, "set 0 3000"), "OK set fan=0 rpm=3000");
    EXPECT_TRUE(forced());
    EXPECT_TRUE(marked());
    // Killed outright, as a service manager's hard stop does: no stop sequence runs.
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ::waitpid(first, nullptr, 0);
    EXPECT_TRUE(forced());

    // The next daemon hands the fan back before it answers anything, with the factory
    // minimum from the boot's record on a machine without mode keys.
    const pid_t second = startDaemon();
    EXPECT_EQ(ask(socket, "ping"), "OK pong fans=2");
    EXPECT_FALSE(forced());
    EXPECT_EQ(emu.value("F0Mn"), factory);
    EXPECT_FALSE(marked());
    EXPECT_NE(tmp.read("/var/log/orvane/daemon.log").find("仍有风扇被强制，已交还自动控制"),
              std::string::npos);

    // Handing the fans back through the daemon clears the mark once none is left forced: a
    // daemon killed after that leaves nothing for the next one to do.
    EXPECT_EQ(ask(socket, "set 0 3000"), "OK set fan=0 rpm=3000");
    EXPECT_EQ(ask(socket, "set 1 3000").rfind("OK set fan=1 ", 0), 0u);
    EXPECT_EQ(ask(socket, "auto 0"), "OK auto fan=0");
    EXPECT_TRUE(marked());  // fan 1 is still forced
    EXPECT_EQ(ask(socket, "auto 1"), "OK auto fan=1");
    EXPECT_FALSE(marked());
    ASSERT_EQ(::kill(second, SIGKILL), 0);
    ::waitpid(second, nullptr, 0);
    EXPECT_EQ(ask(socket, "set 0 3000"), "");  // nobody listens
    startDaemon();
    EXPECT_EQ(ask(socket, "quit"), "OK bye");
    const std::string log = tmp.read("/var/log/orvane/daemon.log");
    EXPECT_EQ(log.find("已交还自动控制"), log.rfind("已交还自动控制")) << log;
}

// A directory of the lock and mark that another user owns is not written through: the
// daemon says so in its log and does not start, so it neither binds a socket nor claims the
// fans are marked; a fan forced before stays as it is.
TEST_P(RestartTest, UntrustedMarkDirectoryStopsTheStartAndIsWrittenNothing) {
    const std::string dir = tmp.path("/run/orvane");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
    EXPECT_EQ(tmp.run({ORVTOOL_BINARY, "set", "0", "3000"}, "/tmp/tool.log"), 0);
    EXPECT_EQ(tmp.run({ORVTOOL_BINARY, "serve"}, "/tmp/orvane-daemon.log"), 1);
    EXPECT_NE(tmp.read("/var/log/orvane/daemon.log")
                  .find("无法取得控制服务的锁 errno=1: /run/orvane/daemon.lock"),
              std::string::npos)
        << tmp.read("/var/log/orvane/daemon.log");
    EXPECT_EQ(ask(tmp.path("/tmp/orvane.sock"), "ping"), "");
    EXPECT_TRUE(forced());
    EXPECT_FALSE(marked());
    struct stat st {};
    EXPECT_NE(::lstat(tmp.path("/run/orvane/daemon.lock").c_str(), &st), 0);
}

TEST_P(RestartTest, FanForcedFromTheCommandLineStaysForcedWhenADaemonStarts) {
    EXPECT_EQ(tmp.run({ORVTOOL_BINARY, "set", "0", "3000"}, "/tmp/tool.log"), 0);
    EXPECT_TRUE(forced());
    startDaemon();
    EXPECT_EQ(ask(tmp.path("/tmp/orvane.sock"), "ping"), "OK pong fans=2");
    EXPECT_TRUE(forced());
    EXPECT_EQ(ask(tmp.path("/tmp/orvane.sock"), "quit"), "OK bye");
    EXPECT_FALSE(forced());
}

TEST_P(RestartTest, SeparateAutoProcessHandsBackTheFactoryMinimum) {
    const std::string log = "/tmp/tool.log";
    EXPECT_EQ(tmp.run({ORVTOOL_BINARY, "set", "0", "3000"}, log), 0);
    EXPECT_TRUE(forced());
    EXPECT_EQ(tmp.run({ORVTOOL_BINARY, "auto"}, log), 0);
    EXPECT_FALSE(forced());
    EXPECT_EQ(emu.value("F0Mn"), factory);
    const std::string out = tmp.read(log);
    EXPECT_NE(out.find("已对 2 个风扇执行恢复自动"), std::string::npos) << out;
    EXPECT_EQ(out.find("失败"), std::string::npos) << out;
    // The record is where every later process of this boot finds it, readable by all.
    EXPECT_NE(tmp.read("/run/orvane/fan-minimums").find("fans 2\n"), std::string::npos);
}

// cmdServe returns its status, after `quit` and after a stop signal alike, with the fans
// handed back and nothing of the daemon left open or held: the same process can serve again.
TEST_P(RestartTest, CmdServeReturnsAndLeavesNothingBehind) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = serveInChild(report[1]);
    ::close(report[1]);
    std::string lines;
    bool silent = false;  // the child stopped reporting: it is ended rather than waited for
    const auto nextLine = [&] {
        while (lines.find('\n') == std::string::npos) {
            pollfd p{report[0], POLLIN, 0};
            char buf[256];
            const ssize_t n = ::poll(&p, 1, 10'000) == 1 ? ::read(report[0], buf, sizeof buf) : 0;
            if (n <= 0) {
                silent = true;
                return std::string("(none)");
            }
            lines.append(buf, static_cast<std::size_t>(n));
        }
        const std::string line = lines.substr(0, lines.find('\n'));
        lines.erase(0, line.size() + 1);
        return line;
    };
    const std::string socket = tmp.path("/tmp/orvane.sock");
    const std::string clean = "status=0 fds=same socket=gone lock=free";

    ASSERT_TRUE(tmp.waitForSocket("/tmp/orvane.sock", child));
    EXPECT_EQ(ask(socket, "set 0 3000"), "OK set fan=0 rpm=3000");
    EXPECT_TRUE(forced());
    EXPECT_EQ(ask(socket, "quit"), "OK bye");
    EXPECT_EQ(nextLine(), clean);
    EXPECT_FALSE(forced());

    ASSERT_TRUE(tmp.waitForSocket("/tmp/orvane.sock", child));
    EXPECT_EQ(ask(socket, "set 0 3000"), "OK set fan=0 rpm=3000");
    EXPECT_TRUE(forced());
    ASSERT_EQ(::kill(child, SIGTERM), 0);
    EXPECT_EQ(nextLine(), clean);
    EXPECT_FALSE(forced());
    EXPECT_FALSE(marked());

    if (silent) ::kill(child, SIGKILL);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ::close(report[0]);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, RestartTest,
                         ::testing::Values("recent-2fan.prof", "older-2fan.prof"),
                         [](const auto& info) {
                             return std::string(info.param).substr(0, 6) == "recent" ? "Recent"
                                                                                     : "Older";
                         });
