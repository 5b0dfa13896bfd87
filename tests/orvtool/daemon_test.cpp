// `orvtool serve` as a real process. Each daemon runs in its own mount namespace with a
// private directory bound over /tmp and a fresh /var/log, so its fixed socket and log paths
// never meet another test's or a real daemon's; the test reaches the socket through that
// directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "Emulator.h"
#include "ToolProcess.h"

namespace {

using namespace std::chrono_literals;

// Safety net for every wait below, so that a broken daemon fails a test instead of
// hanging it. Nothing is asserted about how long anything takes.
constexpr int kWaitMs = 10'000;
constexpr int kNoNamespace = 90;  // child's exit status when the namespace fails

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, kWaitMs) == 1;
}

sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return addr;
}

class Daemon {
  public:
    // With withoutStderr the daemon starts with descriptor 2 closed.
    Daemon(const std::string& tmpDir, bool withoutStderr) {
        int err[2];
        if (::pipe(err) != 0) return;
        // Opened before /tmp is covered: the build may live there.
        const int binary = ::open(ORVTOOL_BINARY, O_RDONLY | O_CLOEXEC);
        pid_ = ::fork();
        if (pid_ == 0) {
            withoutStderr ? ::close(STDERR_FILENO) : ::dup2(err[1], STDERR_FILENO);
            ::close(err[0]);
            ::close(err[1]);
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount(tmpDir.c_str(), "/tmp", nullptr, MS_BIND, nullptr) != 0 ||
                ::mount("tmpfs", "/var/log", "tmpfs", 0, "mode=0755") != 0 ||
                ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0)
                ::_exit(kNoNamespace);
            char* const argv[] = {const_cast<char*>("orvtool"), const_cast<char*>("serve"),
                                  nullptr};
            ::fexecve(binary, argv, environ);
            ::_exit(tooltest::kSetupFailed);
        }
        if (binary >= 0) ::close(binary);
        ::close(err[1]);
        err_ = err[0];
    }
    ~Daemon() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (err_ >= 0) ::close(err_);
    }

    pid_t pid() const { return pid_; }

    // The next line of standard error without its line feed; empty at its end.
    std::string logLine() {
        std::size_t lf;
        while ((lf = buffered_.find('\n')) == std::string::npos) {
            char buf[4096];
            const ssize_t n = readable(err_) ? ::read(err_, buf, sizeof buf) : 0;
            if (n <= 0) return "";
            buffered_.append(buf, static_cast<std::size_t>(n));
        }
        std::string line = buffered_.substr(0, lf);
        buffered_.erase(0, lf + 1);
        return line;
    }

    // The exit status, or -1 for anything but a normal exit.
    int waitExit() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        if (::kill(pid_, 0) == 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            status = -1;
        }
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    int err_ = -1;
    bool exited_ = false;
    std::string buffered_;
};

class Client {
  public:
    explicit Client(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        const sockaddr_un addr = unixAddress(path);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) close();
    }
    ~Client() { close(); }

    bool connected() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool send(const std::string& data) {
        for (std::size_t done = 0; done < data.size();) {
            const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // One reply line with its line feed, or with `all` everything until the daemon closes.
    std::string line(bool all = false) {
        std::string s;
        char c;
        while (readable(fd_) && ::recv(fd_, &c, 1, 0) == 1) {
            s += c;
            if (c == '\n' && !all) break;
        }
        return s;
    }
    std::string rest() { return line(true); }

  private:
    int fd_;
};

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "private mount namespaces need root";
        std::string tmpl =
            ::access("/run", W_OK) == 0 ? "/run/orvtool-test.XXXXXX" : "/tmp/orvtool-test.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        socketPath = dir + "/orvane.sock";
        emu = std::make_unique<Emulator>(Emulator::shippedProfile("recent-2fan.prof"));
        ASSERT_EQ(emu->control("clock freeze").rfind("OK", 0), 0u);
        ASSERT_NO_FATAL_FAILURE(beforeStart());
        daemon = std::make_unique<Daemon>(dir, withoutStderr());
        if (withoutStderr()) {
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (!Client(socketPath).connected() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(5ms);
            return;
        }
        const std::string banner = daemon->logLine();
        if (banner.empty() && daemon->waitExit() == kNoNamespace)
            GTEST_SKIP() << "cannot create a private mount namespace";
        ASSERT_EQ(banner,
                  "Orvane 守护进程已启动: /run/orvane/orvane.sock（风扇数 2；"
                  "quit/SIGINT/SIGTERM 退出并恢复自动）");
    }
    void TearDown() override {
        daemon.reset();
        emu.reset();
        if (!dir.empty()) {
            ::unlink(socketPath.c_str());
            ::rmdir(dir.c_str());
        }
    }
    virtual void beforeStart() {}
    virtual bool withoutStderr() const { return false; }

    bool socketExists() const {
        struct stat st;
        return ::lstat(socketPath.c_str(), &st) == 0;
    }
    std::string modes() {
        return tooltest::hexOf(emu->value("F0Md")) + tooltest::hexOf(emu->value("F1Md"));
    }
    void expectStopped() {
        EXPECT_EQ(daemon->waitExit(), 0);
        EXPECT_FALSE(socketExists());
        EXPECT_EQ(modes(), "0000");
    }

    std::string dir;
    std::string socketPath;
    std::unique_ptr<Emulator> emu;
    std::unique_ptr<Daemon> daemon;
};

}  // namespace

TEST_F(DaemonTest, ServesLinesLogsThemAndQuits) {
    struct stat st;
    ASSERT_EQ(::stat(socketPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    Client c(socketPath);
    // Two commands in one write: two replies in order, each logged after it was sent.
    ASSERT_TRUE(c.send("ping\n  set 0   3000\t\n"));
    EXPECT_EQ(c.line(), "OK pong fans=2\n");
    EXPECT_EQ(c.line(), "OK set fan=0 rpm=3000\n");
    EXPECT_EQ(daemon->logLine(), "[serve] ping → OK pong fans=2");
    EXPECT_EQ(daemon->logLine(), "[serve] set 0   3000 → OK set fan=0 rpm=3000");
    EXPECT_EQ(modes(), "0100");

    // quit: restored, answered, logged, and nothing after it in the same write.
    ASSERT_TRUE(c.send("quit\nping\n"));
    EXPECT_EQ(c.rest(), "OK bye\n");
    EXPECT_EQ(daemon->logLine(), "[serve] quit → OK bye");
    expectStopped();
    EXPECT_EQ(daemon->logLine(), "");
}

TEST_F(DaemonTest, VanishedClientsLeaveFansForcedAndTheDaemonServing) {
    {
        Client c(socketPath);
        ASSERT_TRUE(c.send("set 0 3000\n"));
        ASSERT_EQ(c.line(), "OK set fan=0 rpm=3000\n");
    }
    {
        // A slow SMC makes the replies go to a peer that has already gone.
        ASSERT_EQ(emu->control("fault slow 100").rfind("OK", 0), 0u);
        Client gone(socketPath);
        ASSERT_TRUE(gone.send("set 1 3000\nping\n"));
    }
    EXPECT_EQ(daemon->logLine(), "[serve] set 0 3000 → OK set fan=0 rpm=3000");
    EXPECT_EQ(daemon->logLine(), "[serve] set 1 3000 → OK set fan=1 rpm=3000");
    EXPECT_EQ(daemon->logLine(), "[serve] ping → OK pong fans=2");
    ASSERT_EQ(emu->control("fault clear").rfind("OK", 0), 0u);
    {
        // An endless line drops only its own connection, with nothing executed.
        Client flood(socketPath);
        flood.send("auto" + std::string(1 << 20, ' '));
        EXPECT_EQ(flood.rest(), "");
    }
    EXPECT_EQ(daemon->logLine(), "[serve] 请求行超过 4096 字节仍无换行，已断开该连接");
    Client next(socketPath);
    ASSERT_TRUE(next.send("ping\n"));
    EXPECT_EQ(next.line(), "OK pong fans=2\n");
    EXPECT_EQ(modes(), "0101");
    next.close();

    // SIGINT while the daemon waits for the next connection.
    EXPECT_EQ(daemon->logLine(), "[serve] ping → OK pong fans=2");
    ASSERT_EQ(::kill(daemon->pid(), SIGINT), 0);
    expectStopped();
}

TEST_F(DaemonTest, SigtermWhileReadingAClientRestoresAndExits) {
    Client c(socketPath);
    ASSERT_TRUE(c.send("set 1 3000\n"));
    ASSERT_EQ(c.line(), "OK set fan=1 rpm=3000\n");
    const auto target = emu->value("F0Tg");
    // An unterminated command, then the stop.
    ASSERT_TRUE(c.send("set 0 2500"));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(::kill(daemon->pid(), SIGTERM), 0);
    EXPECT_EQ(c.rest(), "");
    expectStopped();
    EXPECT_EQ(emu->value("F0Tg"), target);
}

namespace {

class StaleSocketTest : public DaemonTest {
  protected:
    // A socket file nobody listens on, as a killed daemon leaves behind.
    void beforeStart() override {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un addr = unixAddress(socketPath);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
};

class ClosedStderrTest : public DaemonTest {
  protected:
    bool withoutStderr() const override { return true; }
};

}  // namespace

TEST_F(StaleSocketTest, ReplacesAStaleSocketFile) {
    Client c(socketPath);
    ASSERT_TRUE(c.send("ping\nquit\n"));
    EXPECT_EQ(c.rest(), "OK pong fans=2\nOK bye\n");
    EXPECT_EQ(daemon->waitExit(), 0);
}

TEST_F(ClosedStderrTest, LogLinesNeverReachTheSMCOrAClient) {
    // Started with standard error closed, the daemon's first socket would otherwise take
    // descriptor 2 and receive the banner and the log lines.
    Client c(socketPath);
    ASSERT_TRUE(c.send("set 0 3000\nquit\n"));
    EXPECT_EQ(c.rest(), "OK set fan=0 rpm=3000\nOK bye\n");
    expectStopped();
}
