// `orvtool serve` as a real process, in a private /tmp, /var/log, /run and /var/lib/orvane
// (DaemonRig), so its fixed socket, log and state paths never meet another test's or a real
// daemon's.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "DaemonRig.h"
#include "Paths.h"

namespace {

using namespace std::chrono_literals;

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "private mount namespaces need root";
        rig = std::make_unique<DaemonRig>(ORVTOOL_BINARY);
        ASSERT_TRUE(rig->ok()) << rig->error();
        socketPath = rig->socketPath();
        ASSERT_EQ(rig->emu().control("clock freeze").rfind("OK", 0), 0u);
        ASSERT_NO_FATAL_FAILURE(beforeStart());
        ProcessOptions options;
        options.closeStderr = withoutStderr();
        ASSERT_TRUE(rig->start({"serve"}, options));
        if (withoutStderr()) return;
        EXPECT_EQ(rig->logLine(),
                  "Orvane 守护进程已启动: /run/orvane/orvane.sock（风扇数 2；"
                  "quit/SIGINT/SIGTERM 退出并恢复自动）");
    }
    virtual void beforeStart() {}
    virtual bool withoutStderr() const { return false; }

    bool socketExists() const {
        struct stat st;
        return ::lstat(socketPath.c_str(), &st) == 0;
    }
    std::string modes() { return hexString(rig->key("F0Md")) + hexString(rig->key("F1Md")); }
    void expectStopped() {
        EXPECT_EQ(rig->daemon().finish(), 0);
        EXPECT_FALSE(socketExists());
        EXPECT_EQ(modes(), "0000");
    }

    std::unique_ptr<DaemonRig> rig;
    std::string socketPath;
};

}  // namespace

TEST_F(DaemonTest, ServesLinesLogsThemAndQuits) {
    struct stat st;
    ASSERT_EQ(::stat(socketPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    // The directory of its standing settings is the namespace's own, a root-owned tmpfs, not
    // the machine's.
    struct stat state {};
    struct stat machineState {};
    ASSERT_EQ(::stat(rig->tmp().path(paths::kStateDir).c_str(), &state), 0);
    ASSERT_EQ(::stat(paths::kStateDir, &machineState), 0);
    EXPECT_NE(state.st_dev, machineState.st_dev);
    EXPECT_EQ(state.st_uid, 0u);
    EXPECT_EQ(state.st_mode & 07777, 0755u);

    SocketClient c(socketPath);
    // Two commands in one write: two replies in order, each logged after it was sent.
    ASSERT_TRUE(c.send("ping\n  set 0   3000\t\n"));
    EXPECT_EQ(c.readLine(), "OK pong fans=2");
    EXPECT_EQ(c.readLine(), "OK set fan=0 rpm=3000");
    EXPECT_EQ(rig->logLine(), "[serve] ping → OK pong fans=2");
    EXPECT_EQ(rig->logLine(), "[serve] set 0   3000 → OK set fan=0 rpm=3000");
    EXPECT_EQ(modes(), "0100");

    // quit: restored, answered, logged, and nothing after it in the same write.
    ASSERT_TRUE(c.send("quit\nping\n"));
    EXPECT_EQ(c.readAll(), "OK bye\n");
    EXPECT_EQ(rig->logLine(), "[serve] quit → OK bye");
    expectStopped();
    EXPECT_EQ(rig->logLine(), "");
}

TEST_F(DaemonTest, VanishedClientsLeaveFansForcedAndTheDaemonServing) {
    {
        SocketClient c(socketPath);
        ASSERT_TRUE(c.send("set 0 3000\n"));
        ASSERT_EQ(c.readLine(), "OK set fan=0 rpm=3000");
    }
    {
        // A slow SMC makes the replies go to a peer that has already gone.
        ASSERT_EQ(rig->emu().control("fault slow 100").rfind("OK", 0), 0u);
        SocketClient gone(socketPath);
        ASSERT_TRUE(gone.send("set 1 3000\nping\n"));
    }
    EXPECT_EQ(rig->logLine(), "[serve] set 0 3000 → OK set fan=0 rpm=3000");
    EXPECT_EQ(rig->logLine(), "[serve] set 1 3000 → OK set fan=1 rpm=3000");
    EXPECT_EQ(rig->logLine(), "[serve] ping → OK pong fans=2");
    ASSERT_EQ(rig->emu().control("fault clear").rfind("OK", 0), 0u);
    {
        // An endless line drops only its own connection, with nothing executed.
        SocketClient flood(socketPath);
        flood.send("auto" + std::string(1 << 20, ' '));
        EXPECT_EQ(flood.readAll(), "");
    }
    EXPECT_EQ(rig->logLine(), "[serve] 请求行超过 4096 字节仍无换行，已断开该连接");
    SocketClient next(socketPath);
    ASSERT_TRUE(next.send("ping\n"));
    EXPECT_EQ(next.readLine(), "OK pong fans=2");
    EXPECT_EQ(modes(), "0101");
    next.close();

    // SIGINT while the daemon waits for the next connection.
    EXPECT_EQ(rig->logLine(), "[serve] ping → OK pong fans=2");
    ASSERT_EQ(::kill(rig->daemon().pid(), SIGINT), 0);
    expectStopped();
}

TEST_F(DaemonTest, SigtermWhileReadingAClientRestoresAndExits) {
    SocketClient c(socketPath);
    ASSERT_TRUE(c.send("set 1 3000\n"));
    ASSERT_EQ(c.readLine(), "OK set fan=1 rpm=3000");
    const auto target = rig->emu().value("F0Tg");
    // An unterminated command, then the stop.
    ASSERT_TRUE(c.send("set 0 2500"));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(::kill(rig->daemon().pid(), SIGTERM), 0);
    EXPECT_EQ(c.readAll(), "");
    expectStopped();
    EXPECT_EQ(rig->emu().value("F0Tg"), target);
}

namespace {

class StaleSocketTest : public DaemonTest {
  protected:
    // A socket file nobody listens on, as a killed daemon leaves behind.
    void beforeStart() override { ASSERT_TRUE(makeStaleSocket(socketPath)); }
};

class ClosedStderrTest : public DaemonTest {
  protected:
    bool withoutStderr() const override { return true; }
};

}  // namespace

TEST_F(StaleSocketTest, ReplacesAStaleSocketFile) {
    SocketClient c(socketPath);
    ASSERT_TRUE(c.send("ping\nquit\n"));
    EXPECT_EQ(c.readAll(), "OK pong fans=2\nOK bye\n");
    EXPECT_EQ(rig->daemon().finish(), 0);
}

TEST_F(ClosedStderrTest, LogLinesNeverReachTheSMCOrAClient) {
    // Started with standard error closed, the daemon's first socket would otherwise take
    // descriptor 2 and receive the banner and the log lines.
    SocketClient c(socketPath);
    ASSERT_TRUE(c.send("set 0 3000\nquit\n"));
    EXPECT_EQ(c.readAll(), "OK set fan=0 rpm=3000\nOK bye\n");
    expectStopped();
}
