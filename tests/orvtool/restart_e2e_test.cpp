// Fans handed back across processes on both machine families: the real orvtool binary in
// a private /tmp and /run (a fresh boot's), on a real emulator.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "DaemonRig.h"
#include "FanController.h"
#include "Paths.h"
#include "Serve.h"
#include "ServeLock.h"

namespace {

class RestartTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "SMC writes and a private /run need root";
        rig = std::make_unique<DaemonRig>(ORVTOOL_BINARY, GetParam());
        ASSERT_TRUE(rig->ok()) << rig->error();
    }
    void startDaemon() { EXPECT_TRUE(rig->start()); }
    bool forced() { return rig->forced(0); }
    int tool(const std::vector<std::string>& args) { return rig->tool(args).status; }

    // cmdServe called twice in a row in a child inside the namespace. After each return the
    // child prints one line: the status, whether the descriptors open are those before the
    // first run, whether the main socket file is gone and whether the lock is free again.
    Process serveInChild() {
        ProcessOptions options;
        options.namespaceFd = rig->tmp().namespaceFd();
        return Process::call(
            [] {
                FanController::Options controllerOptions;
                controllerOptions.keepRecord = true;
                FanController ctl(controllerOptions);
                const int before = openDescriptors();
                for (int run = 0; run < 2; ++run) {
                    const int status = orvtool::cmdServe(ctl);
                    const bool sameFds = openDescriptors() == before;
                    struct stat st {};
                    const bool socketGone = ::lstat(paths::kSocketPath, &st) != 0;
                    const orvtool::DaemonLock lock =
                        orvtool::takeDaemonLock(paths::kDaemonLockPath);
                    if (lock.fd >= 0) ::close(lock.fd);
                    const std::string line = "status=" + std::to_string(status) +
                                             " fds=" + (sameFds ? "same" : "leaked") +
                                             " socket=" + (socketGone ? "gone" : "left") +
                                             " lock=" + (lock.fd >= 0 ? "free" : "held") + "\n";
                    if (::write(STDOUT_FILENO, line.data(), line.size()) < 0) return 91;
                }
                return 0;
            },
            options);
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
        return ::lstat(rig->tmp().path("/run/orvane/daemon-forced").c_str(), &st) == 0;
    }

    std::unique_ptr<DaemonRig> rig;
};

}  // namespace

TEST_P(RestartTest, KilledDaemonsFansGoBackWhenTheNextOneStarts) {
    startDaemon();
    EXPECT_EQ(rig->request("set 0 3000"), "OK set fan=0 rpm=3000");
    EXPECT_TRUE(forced());
    EXPECT_TRUE(marked());
    // Killed outright, as a service manager's hard stop does: no stop sequence runs.
    rig->daemon().kill();
    EXPECT_EQ(rig->daemon().finish(), -1);
    EXPECT_TRUE(forced());

    // The next daemon hands the fan back before it answers anything, with the factory
    // minimum from the boot's record on a machine without mode keys.
    startDaemon();
    EXPECT_EQ(rig->request("ping"), "OK pong fans=2");
    EXPECT_FALSE(forced());
    EXPECT_EQ(rig->key("F0Mn"), rig->factoryMinimum(0));
    EXPECT_FALSE(marked());
    EXPECT_NE(rig->logFile().find("仍有风扇被强制，已交还自动控制"), std::string::npos);

    // Handing the fans back through the daemon clears the mark once none is left forced: a
    // daemon killed after that leaves nothing for the next one to do.
    EXPECT_EQ(rig->request("set 0 3000"), "OK set fan=0 rpm=3000");
    EXPECT_EQ(rig->request("set 1 3000").rfind("OK set fan=1 ", 0), 0u);
    EXPECT_EQ(rig->request("auto 0"), "OK auto fan=0");
    EXPECT_TRUE(marked());  // fan 1 is still forced
    EXPECT_EQ(rig->request("auto 1"), "OK auto fan=1");
    EXPECT_FALSE(marked());
    rig->daemon().kill();
    rig->daemon().finish();
    EXPECT_EQ(rig->request("set 0 3000"), "");  // nobody listens
    startDaemon();
    EXPECT_EQ(rig->request("quit"), "OK bye");
    const std::string log = rig->logFile();
    EXPECT_EQ(log.find("已交还自动控制"), log.rfind("已交还自动控制")) << log;
}

// A directory of the lock and mark that another user owns is not written through: the
// daemon says so in its log and does not start, so it neither binds a socket nor claims the
// fans are marked; a fan forced before stays as it is.
TEST_P(RestartTest, UntrustedMarkDirectoryStopsTheStartAndIsWrittenNothing) {
    const std::string dir = rig->tmp().path("/run/orvane");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
    EXPECT_EQ(tool({"set", "0", "3000"}), 0);
    EXPECT_EQ(tool({"serve"}), 1);
    EXPECT_NE(rig->logFile().find("无法取得控制服务的锁 errno=1: /run/orvane/daemon.lock"),
              std::string::npos)
        << rig->logFile();
    EXPECT_EQ(rig->request("ping"), "");
    EXPECT_TRUE(forced());
    EXPECT_FALSE(marked());
    struct stat st {};
    EXPECT_NE(::lstat(rig->tmp().path("/run/orvane/daemon.lock").c_str(), &st), 0);
}

TEST_P(RestartTest, FanForcedFromTheCommandLineStaysForcedWhenADaemonStarts) {
    EXPECT_EQ(tool({"set", "0", "3000"}), 0);
    EXPECT_TRUE(forced());
    startDaemon();
    EXPECT_EQ(rig->request("ping"), "OK pong fans=2");
    EXPECT_TRUE(forced());
    EXPECT_EQ(rig->request("quit"), "OK bye");
    EXPECT_FALSE(forced());
}

TEST_P(RestartTest, SeparateAutoProcessHandsBackTheFactoryMinimum) {
    EXPECT_EQ(tool({"set", "0", "3000"}), 0);
    EXPECT_TRUE(forced());
    const ProcessResult handBack = rig->tool({"auto"});
    EXPECT_EQ(handBack.status, 0);
    EXPECT_FALSE(forced());
    EXPECT_EQ(rig->key("F0Mn"), rig->factoryMinimum(0));
    const std::string out = handBack.out + handBack.err;
    EXPECT_NE(out.find("已对 2 个风扇执行恢复自动"), std::string::npos) << out;
    EXPECT_EQ(out.find("失败"), std::string::npos) << out;
    // The record is where every later process of this boot finds it, readable by all.
    EXPECT_NE(rig->tmp().read("/run/orvane/fan-minimums").find("fans 2\n"), std::string::npos);
}

// cmdServe returns its status, after `quit` and after a stop signal alike, with the fans
// handed back and nothing of the daemon left open or held: the same process can serve again.
TEST_P(RestartTest, CmdServeReturnsAndLeavesNothingBehind) {
    Process child = serveInChild();
    const std::string clean = "status=0 fds=same socket=gone lock=free";

    ASSERT_TRUE(rig->tmp().waitForSocket("/tmp/orvane.sock", child.pid()));
    EXPECT_EQ(rig->request("set 0 3000"), "OK set fan=0 rpm=3000");
    EXPECT_TRUE(forced());
    EXPECT_EQ(rig->request("quit"), "OK bye");
    EXPECT_EQ(child.outLine(), clean);
    EXPECT_FALSE(forced());

    ASSERT_TRUE(rig->tmp().waitForSocket("/tmp/orvane.sock", child.pid()));
    EXPECT_EQ(rig->request("set 0 3000"), "OK set fan=0 rpm=3000");
    EXPECT_TRUE(forced());
    child.terminate();
    EXPECT_EQ(child.outLine(), clean);
    EXPECT_FALSE(forced());
    EXPECT_FALSE(marked());
    EXPECT_EQ(child.finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, RestartTest,
                         ::testing::Values("recent-2fan.prof", "older-2fan.prof"),
                         [](const auto& info) {
                             return std::string(info.param).substr(0, 6) == "recent" ? "Recent"
                                                                                     : "Older";
                         });
