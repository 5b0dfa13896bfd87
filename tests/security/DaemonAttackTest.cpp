// Attacks of another local user (uid 65534) on the root control daemon: a real
// `orvtool serve` as root in a private /tmp and /var/log, on the emulator, with the attacker
// as a process of uid 65534 in the same namespace. Each attack is shown to fail: nothing is
// written through planted paths, the log stays bounded and free of control bytes, no client
// locks others out, and every stop hands the fans back.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Emulator.h"
#include "PrivateTmp.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uid_t kNobody = 65534;
// The daemon's own address, and the second one for scripts.
constexpr const char* kSocket = "/run/orvane/orvane.sock";
constexpr const char* kTmpSocket = "/tmp/orvane.sock";
constexpr const char* kMark = "/run/orvane/daemon-forced";
constexpr const char* kBusy = "ERR 控制服务繁忙：连接数已达上限，请稍后再试";
// The user who started the daemon (through sudo), in the tests that need one.
constexpr uid_t kOwner = 40100;
constexpr const char* kLog = "/var/log/orvane/daemon.log";
constexpr const char* kOldLog = "/var/log/orvane/daemon.log.1";
// Safety net for every wait, so that a broken daemon fails a test instead of hanging it.
constexpr int kWaitMs = 10'000;

// A connection, or -1. Non-blocking ones fail at once where a full backlog would wait.
int connectTo(const std::string& path, bool nonBlocking = false) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const int fd =
        ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// One line (without its line feed) within waitMs; empty at the end or on time-out.
std::string readLine(int fd, int waitMs = kWaitMs) {
    std::string line;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    char c;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) return "";
        if (::recv(fd, &c, 1, 0) != 1) return "";
        if (c == '\n') return line;
        line += c;
    }
}

// Reads one reply of any length, in large pieces; false when none comes.
bool readReply(int fd) {
    char buf[8192];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) != 1) return false;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        if (buf[n - 1] == '\n') return true;
    }
}

// Whether the daemon closed the connection within waitMs.
bool closedByPeer(int fd, int waitMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    char buf[4096];
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) == 1) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
        }
    }
    return false;
}

// A root daemon on an emulator in a private /tmp; standard error to /dev/null, so that the
// log file in /var/log/orvane is its only record.
class Rig {
  public:
    explicit Rig(const std::string& profile = "recent-2fan.prof")
        : emu(Emulator::shippedProfile(profile)) {
        emu.control("clock freeze");
        for (int fan = 0; fan < 2; ++fan)
            originalMn[fan] = hexString(emu.value("F" + std::to_string(fan) + "Mn"));
    }
    ~Rig() {
        for (const int fd : fds)
            ::close(fd);
    }

    // With stderrInside the daemon's standard error goes to that file inside, as a whole
    // record of its lines (the log file rotates). With an owner, it is started as sudo
    // starts it for that user.
    bool start(const std::string& stderrInside = "", uid_t owner = 0) {
        if (owner != 0) ::setenv("SUDO_UID", std::to_string(owner).c_str(), 1);
        pid = tmp.start({ORVTOOL_BINARY, "serve"}, stderrInside);
        ::unsetenv("SUDO_UID");
        return tmp.waitForSocket(kSocket, pid);
    }
    std::string socket() const { return tmp.path(kSocket); }

    // A root client on a fresh connection: the reply to one request.
    std::string ask(const std::string& request) {
        const int fd = connectTo(socket());
        if (fd < 0) return "(no connection)";
        const std::string reply = sendAll(fd, request + "\n") ? readLine(fd) : "";
        ::close(fd);
        return reply;
    }

    // The reply to one request of another user, at the daemon's address or another.
    std::string askAs(uid_t uid, const std::string& request, const char* at = kSocket) {
        int out[2];
        if (::pipe(out) != 0) return "(no pipe)";
        const pid_t child = spawnAs(uid, [&] {
            ::close(out[0]);
            const int fd = connectTo(at);
            const std::string reply = fd >= 0 && sendAll(fd, request + "\n") ? readLine(fd) : "";
            return ::write(out[1], reply.data(), reply.size()) == ssize_t(reply.size()) ? 0 : 1;
        });
        ::close(out[1]);
        std::string reply;
        char buf[512];
        ssize_t n;
        while ((n = ::read(out[0], buf, sizeof buf)) > 0)
            reply.append(buf, static_cast<std::size_t>(n));
        ::close(out[0]);
        wait(child);
        return reply;
    }

    // Runs body in a child process of user `uid` (and the group of that number; uid 65534
    // for spawnAsNobody) inside the namespace; wait() gives its exit status (-1 when it did
    // not exit normally).
    pid_t spawnAs(uid_t uid, const std::function<int()>& body) {
        const pid_t child = ::fork();
        if (child != 0) return child;
        if (::setns(tmp.namespaceFd(), CLONE_NEWNS) != 0 || ::chdir("/") != 0 ||
            ::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
            ::_exit(126);
        ::_exit(body());
    }
    pid_t spawnAsNobody(const std::function<int()>& body) { return spawnAs(kNobody, body); }
    static int wait(pid_t child) {
        int status = 0;
        if (::waitpid(child, &status, 0) != child) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int asNobody(const std::function<int()>& body) { return wait(spawnAsNobody(body)); }
    int shellAsNobody(const std::string& script) {
        return tmp.run({"/bin/sh", "-c", script}, "", kNobody);
    }

    int waitExit() {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) return -2;
            std::this_thread::sleep_for(5ms);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    bool forced(int fan, bool modeKeys) {
        const std::string f = "F" + std::to_string(fan);
        if (modeKeys && hexString(emu.value(f + "Md")) != "00") return true;
        return hexString(emu.value(f + "Mn")) != originalMn[fan];
    }

    Emulator emu;
    PrivateTmp tmp;
    pid_t pid = -1;
    std::string originalMn[2];
    std::vector<int> fds;  // connections closed with the rig
};

#define REQUIRE_NAMESPACE(rig)                                                      \
    if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp and uid 65534 need root"; \
    ASSERT_TRUE((rig).tmp.ok()) << (rig).tmp.error()

bool hasRawControlBytes(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return (c < 0x20 && c != '\n') || c == 0x7F;
    });
}

// Whether the daemon turned a fresh connection away: closed without a reply, or with an
// error line, where a served connection gets its pong.
bool refusedOnConnect() {
    const int fd = connectTo(kSocket);
    if (fd < 0) return true;
    sendAll(fd, "ping\n");
    const std::string reply = readLine(fd);
    ::close(fd);
    return reply.rfind("OK", 0) != 0;
}

struct stat statOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) st.st_mode = 0;
    return st;
}

}  // namespace

TEST(DaemonAttack, PlantedPathsAreNeitherFollowedNorOpened) {
    // What uid 65534 leaves at the old log path and at the socket path before the start.
    const std::vector<std::pair<std::string, std::string>> plants = {
        {"symlink", "ln -s /tmp/victim /tmp/orvane-daemon.log && ln -s /tmp/victim " +
                        std::string(kTmpSocket)},
        {"fifo", "mkfifo /tmp/orvane-daemon.log && mkfifo /tmp/orvane.sock"},
        {"file", "echo mine > /tmp/orvane-daemon.log && echo mine > /tmp/orvane.sock"},
        {"directory",
         "mkdir -p /tmp/orvane-daemon.log /tmp/orvane.sock/sub && "
         "ln -s /tmp/victim /tmp/orvane.sock/sub/link"},
    };
    for (const auto& [kind, script] : plants) {
        SCOPED_TRACE(kind);
        Rig rig;
        REQUIRE_NAMESPACE(rig);
        std::ofstream(rig.tmp.path("/tmp/victim")) << "root's";
        ASSERT_EQ(rig.shellAsNobody(script), 0);
        const struct stat before = statOf(rig.tmp.path("/tmp/orvane-daemon.log"));

        ASSERT_TRUE(rig.start());
        // The plant is replaced at the address for scripts too.
        for (const std::string& path : {rig.socket(), rig.tmp.path(kTmpSocket)}) {
            const struct stat sock = statOf(path);
            EXPECT_TRUE(S_ISSOCK(sock.st_mode)) << path;
            EXPECT_EQ(sock.st_uid, 0u);
            EXPECT_EQ(sock.st_mode & 0777, 0666u);
        }
        // A request meant for a shell is only data.
        EXPECT_EQ(rig.ask("x;id>/tmp/pwned;#"), "ERR 未知命令: x;id>/tmp/pwned;#");
        EXPECT_EQ(rig.asNobody([] {
            const int fd = connectTo(kTmpSocket);
            return fd >= 0 && sendAll(fd, "ping\n") && readLine(fd) == "OK pong fans=2" ? 0 : 1;
        }),
                  0);
        ASSERT_EQ(::kill(rig.pid, SIGTERM), 0);
        EXPECT_EQ(rig.waitExit(), 0);

        EXPECT_EQ(rig.tmp.read("/tmp/victim"), "root's");
        EXPECT_NE(::access(rig.tmp.path("/tmp/pwned").c_str(), F_OK), 0);
        const struct stat after = statOf(rig.tmp.path("/tmp/orvane-daemon.log"));
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_size, before.st_size);
        EXPECT_EQ(after.st_uid, kNobody);
        if (kind == "fifo") {
            // Never opened by the daemon: still nobody reads it.
            const int w =
                ::open(rig.tmp.path("/tmp/orvane-daemon.log").c_str(), O_WRONLY | O_NONBLOCK);
            EXPECT_EQ(w, -1);
            if (w >= 0) ::close(w);
        }
        const std::string log = rig.tmp.read(kLog);
        EXPECT_NE(log.find("/tmp/orvane.sock 处原有"), std::string::npos) << log;
        EXPECT_NE(log.find("[serve] x;id>/tmp/pwned;# → ERR 未知命令: x;id>/tmp/pwned;#"),
                  std::string::npos)
            << log;
        if (kind == "directory") {
            // Moved aside whole, its link not followed.
            EXPECT_NE(log.find("已移到 /tmp/orvane.sock.moved."), std::string::npos) << log;
        }
    }
}

TEST(DaemonAttack, FloodOfControlBytesLeavesABoundedCleanLog) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.start());
    std::string line = "\x1b[2J\x1b]0;owned\x07\rfake [serve] ping → OK";
    line += std::string(1, '\0') + "\xc2\x9b" + "31m";
    while (line.size() < 4000)
        line += "\x1b\r" + std::string(1, '\0') + "xyz";
    line += "\n";
    const int status = rig.asNobody([&] {
        const auto end = Clock::now() + 4s;
        int fd = -1;
        while (Clock::now() < end) {
            if (fd < 0) fd = connectTo(kSocket);
            if (fd < 0) return 2;
            // Replies are read, so that only the log is under test here.
            if (!sendAll(fd, line) || !readReply(fd)) {
                ::close(fd);
                fd = -1;
            }
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(rig.ask("ping"), "OK pong fans=2");

    const std::string current = rig.tmp.read(kLog);
    const std::string old = rig.tmp.read(kOldLog);
    const std::string both = old + current;
    EXPECT_FALSE(old.empty()) << "the flood should have rotated the log at least once";
    EXPECT_LE(current.size(), 1u << 20);
    EXPECT_LE(old.size(), 1u << 20);
    EXPECT_FALSE(hasRawControlBytes(current));
    EXPECT_FALSE(hasRawControlBytes(old));
    EXPECT_EQ(both.find("\xc2\x9b"), std::string::npos);
    EXPECT_NE(both.find("\\e[2J\\e]0;owned\\x07\\rfake [serve] ping → OK\\0\\u009B31m"),
              std::string::npos);
    EXPECT_NE(both.find("…[截去 "), std::string::npos);
}

TEST(DaemonAttack, NoClientLocksOutTheOthers) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.start("/tmp/daemon.stderr"));
    const auto start = Clock::now();

    // A pipeliner that never reads, reconnecting whenever it is dropped.
    const pid_t pipeliner = rig.spawnAsNobody([] {
        std::string many;
        for (int i = 0; i < 300'000; ++i)
            many += "ping\n";
        const auto end = Clock::now() + 14s;
        while (Clock::now() < end) {
            const int fd = connectTo(kSocket);
            if (fd >= 0) sendAll(fd, many);
            if (fd >= 0) ::close(fd);
            std::this_thread::sleep_for(100ms);
        }
        return 0;
    });
    // A slow loris: one byte of "ping" every 1.5 s; 0 when the daemon drops it first.
    const pid_t loris = rig.spawnAsNobody([] {
        const int fd = connectTo(kSocket);
        if (fd < 0) return 2;
        for (const char c : std::string("pppppppppppping\n")) {
            if (!sendAll(fd, std::string(1, c))) return 0;
            if (closedByPeer(fd, 1500)) return 0;
        }
        return 1;
    });
    std::this_thread::sleep_for(300ms);
    // Nine silent clients: at most the rest of the user's connections are kept, the others
    // are closed at once.
    const pid_t silent = rig.spawnAsNobody([] {
        std::vector<int> fds;
        for (int i = 0; i < 9; ++i)
            fds.push_back(connectTo(kSocket));
        int refused = 0;
        for (const int fd : fds)
            refused += fd < 0 || closedByPeer(fd, 200);
        std::this_thread::sleep_for(14s);
        return refused;
    });

    // Root's pings, each on a fresh connection as the application sends them, while the
    // attack goes on (past the loris's line deadline).
    std::vector<double> ms;
    while (Clock::now() - start < 12s) {
        const auto t0 = Clock::now();
        EXPECT_EQ(rig.ask("ping"), "OK pong fans=2");
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        std::this_thread::sleep_for(250ms);
    }
    ASSERT_GE(ms.size(), 20u);
    for (const double each : ms)
        EXPECT_LT(each, 100.0);
    std::printf("root pings under attack: %zu, slowest %.1f ms\n", ms.size(),
                *std::max_element(ms.begin(), ms.end()));

    EXPECT_EQ(Rig::wait(loris), 0);
    EXPECT_GE(Rig::wait(silent), 5);
    EXPECT_EQ(Rig::wait(pipeliner), 0);
    const std::string log = rig.tmp.read("/tmp/daemon.stderr");
    EXPECT_NE(log.find("[serve] 请求行 10 秒内未完成，已断开该连接"), std::string::npos);
    EXPECT_NE(log.find("[serve] 客户端不读回复，积压超过 65536 字节，已断开该连接"),
              std::string::npos);
    EXPECT_NE(log.find("[serve] 用户 uid=65534 的连接数已达上限，已拒绝新连接"), std::string::npos);
}

// Each user but root holds at most 4 connections, and all of them together at most 64:
// the fifth of a user is refused, and so is any user's once 16 users hold 4 each, while
// root is still served.
TEST(DaemonAttack, ConnectionCapsCountEachUserAndSpareRoot) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.start());
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    // A user that takes its 4 places, finds a fifth refused, says so and holds on until the
    // test releases it: '0' when all went as it should.
    const auto holder = [&] {
        ::close(release[1]);
        std::vector<int> held;
        char result = '0';
        for (int i = 0; i < 4; ++i) {
            held.push_back(connectTo(kSocket));
            if (held.back() < 0 || !sendAll(held.back(), "ping\n") ||
                readLine(held.back()) != "OK pong fans=2")
                result = 'a';  // a place within the cap not served
        }
        if (!refusedOnConnect()) result = 'b';  // one past the cap served
        (void)!::write(ready[1], &result, 1);
        char end;
        (void)!::read(release[0], &end, 1);  // until the test closes its end
        return 0;
    };
    std::vector<pid_t> users;
    std::string results;
    for (uid_t uid = 61000; uid < 61016; ++uid) {
        users.push_back(rig.spawnAs(uid, holder));
        char result = 'x';
        pollfd p{ready[0], POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) == 1 && ::read(ready[0], &result, 1) != 1) result = 'x';
        results += result;
    }
    EXPECT_EQ(results, std::string(16, '0'));
    EXPECT_EQ(Rig::wait(rig.spawnAs(61016, [] { return refusedOnConnect() ? 0 : 1; })), 0)
        << "a seventeenth user served past the total";
    EXPECT_EQ(rig.ask("ping"), "OK pong fans=2");

    ::close(release[1]);
    for (const pid_t user : users)
        EXPECT_EQ(Rig::wait(user), 0);
    ::close(release[0]);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(DaemonAttack, HangupHandsTheFansBackOnBothFamilies) {
    for (const auto& [profile, modeKeys] :
         {std::pair{"recent-2fan.prof", true}, std::pair{"older-2fan.prof", false}}) {
        SCOPED_TRACE(profile);
        Rig rig(profile);
        REQUIRE_NAMESPACE(rig);
        ASSERT_TRUE(rig.start());
        EXPECT_EQ(rig.ask("set 0 4000").rfind("OK set fan=0", 0), 0u);
        EXPECT_EQ(rig.ask("set 1 4000").rfind("OK set fan=1", 0), 0u);
        ASSERT_TRUE(rig.forced(0, modeKeys) && rig.forced(1, modeKeys));
        // A connection waiting in the middle of a line does not delay the stop.
        const int waiting = connectTo(rig.socket());
        rig.fds.push_back(waiting);
        sendAll(waiting, "set 0 25");
        std::this_thread::sleep_for(50ms);
        ASSERT_EQ(::kill(rig.pid, SIGHUP), 0);
        EXPECT_EQ(rig.waitExit(), 0);
        EXPECT_NE(::access(rig.socket().c_str(), F_OK), 0);
        EXPECT_FALSE(rig.forced(0, modeKeys));
        EXPECT_FALSE(rig.forced(1, modeKeys));
    }
}

TEST(DaemonAttack, RunningOutOfDescriptorsIsOutlived) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(rig.ask("set 0 4000"), "OK set fan=0 rpm=4000");
    // Room for a few connections beyond what the daemon has open now.
    rlim_t open = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(rig.pid) + "/fd")) {
        (void)entry;
        ++open;
    }
    const rlimit few{open + 4, open + 4};
    ASSERT_EQ(::prlimit(rig.pid, RLIMIT_NOFILE, &few, nullptr), 0);

    // Root's connections up to its cap: the daemon runs out of descriptors long before.
    for (int i = 0; i < 16; ++i) {
        const int fd = connectTo(rig.socket(), true);
        if (fd >= 0) rig.fds.push_back(fd);
    }
    const auto deadline = Clock::now() + 5s;
    while (rig.tmp.read(kLog).find("accept 暂时失败 errno=24") == std::string::npos &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_NE(rig.tmp.read(kLog).find("[serve] accept 暂时失败 errno=24，稍后重试"),
              std::string::npos);
    // Still serving the connections it has, and alive with the fan still forced.
    EXPECT_TRUE(sendAll(rig.fds.front(), "ping\n"));
    EXPECT_EQ(readLine(rig.fds.front()), "OK pong fans=2");
    for (const int fd : rig.fds)
        ::close(fd);
    rig.fds.clear();
    EXPECT_EQ(rig.ask("ping"), "OK pong fans=2");
    EXPECT_EQ(::kill(rig.pid, 0), 0);
    EXPECT_TRUE(rig.forced(0, true));

    ASSERT_EQ(::kill(rig.pid, SIGTERM), 0);
    EXPECT_EQ(rig.waitExit(), 0);
    EXPECT_FALSE(rig.forced(0, true));
}

TEST(DaemonAttack, LostOutputIsAnErrorOfTheTool) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    // stdoutSetup runs in the child before exec; the status and standard error come back.
    const auto run = [](const std::vector<std::string>& args,
                        const std::function<void()>& stdoutSetup) {
        int err[2];
        if (::pipe(err) != 0) return std::pair{-1, std::string()};
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(err[1], STDERR_FILENO);
            ::close(err[0]);
            ::close(err[1]);
            // An empty /run of its own: the machine's record of fan minimums, whoever left
            // it there, must not add its warning to the output.
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0)
                ::_exit(125);
            stdoutSetup();
            std::vector<char*> argv{const_cast<char*>("orvtool")};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(ORVTOOL_BINARY, argv.data());
            ::_exit(125);
        }
        ::close(err[1]);
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(err[0], buf, sizeof buf)) > 0)
            text.append(buf, static_cast<std::size_t>(n));
        ::close(err[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return std::pair{WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
    };
    const auto full = [] { ::dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO); };
    const auto closed = [] { ::close(STDOUT_FILENO); };
    const auto gone = [] {
        int p[2];
        if (::pipe(p) == 0) {
            ::dup2(p[1], STDOUT_FILENO);
            ::close(p[0]);  // the reader is gone before anything is written
        }
    };
    EXPECT_EQ(run({"rpm"}, full),
              std::pair(1, std::string("写入标准输出失败: 设备空间不足 (errno=28)\n")));
    EXPECT_EQ(run({"info"}, full),
              std::pair(1, std::string("写入标准输出失败: 设备空间不足 (errno=28)\n")));
    EXPECT_EQ(run({"rpm"}, closed),
              std::pair(1, std::string("写入标准输出失败: 标准输出已关闭 (errno=9)\n")));
    EXPECT_EQ(run({"rpm"}, gone),
              std::pair(1, std::string("写入标准输出失败: 读取端已关闭 (errno=32)\n")));
    EXPECT_EQ(run({"watch", "5"}, full).first, 1);  // stops at the first row
    EXPECT_EQ(run({"rpm"}, [] { ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO); }).first, 0);
    // A change of the fans that was made is status 0 even when its report was lost: the
    // status says what happened to the fans, standard error what happened to the output.
    EXPECT_EQ(run({"set", "0", "3000"}, closed),
              std::pair(0, std::string("写入标准输出失败: 标准输出已关闭 (errno=9)\n")));
    EXPECT_EQ(hexString(emu.value("F0Md")), "01");
    EXPECT_EQ(run({"auto"}, full),
              std::pair(0, std::string("写入标准输出失败: 设备空间不足 (errno=28)\n")));
    EXPECT_EQ(hexString(emu.value("F0Md")), "00");
    EXPECT_EQ(run({"set", "9", "3000"}, closed).first, 1);  // no such fan: nothing changed
}

// Two processes of another user re-plant a link or a directory at /tmp/orvane.sock the
// moment it is free, racing the daemon's unlink and bind. The daemon's own address is in a
// directory only root can write, so every start succeeds, whoever wins at /tmp.
TEST(DaemonAttack, PlantRaceAtTmpCannotKeepTheDaemonFromStarting) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    std::ofstream(rig.tmp.path("/tmp/victim")) << "root's";
    std::vector<pid_t> planters;
    for (const bool directory : {false, true}) {
        planters.push_back(rig.spawnAsNobody([directory] {
            const auto end = Clock::now() + 20s;
            while (Clock::now() < end) {
                if (directory) {
                    ::mkdir(kTmpSocket, 0755);
                } else {
                    ::symlink("/tmp/victim", kTmpSocket);
                }
            }
            return 0;
        }));
    }
    for (int start = 0; start < 5; ++start) {
        SCOPED_TRACE(start);
        ASSERT_TRUE(rig.start()) << rig.tmp.read(kLog);
        EXPECT_EQ(rig.ask("ping"), "OK pong fans=2");
        ASSERT_EQ(::kill(rig.pid, SIGTERM), 0);
        EXPECT_EQ(rig.waitExit(), 0);
    }
    for (const pid_t planter : planters) {
        ::kill(planter, SIGKILL);
        Rig::wait(planter);
    }
    EXPECT_EQ(rig.tmp.read("/tmp/victim"), "root's");
}

// Sixteen users hold four connections each, all the places other users share. The daemon
// is still there for them: a connection past the caps is told it is busy (so that no
// client takes it for a dead daemon and starts another), the user who started the daemon
// has places of their own, and a second daemon started over the first changes nothing.
TEST(DaemonAttack, FullCapsNeitherLockOutTheOwnerNorPassForADeadDaemon) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.start("", kOwner));
    const struct stat before = statOf(rig.socket());
    std::vector<pid_t> holders;
    for (uid_t uid = 40001; uid <= 40016; ++uid) {
        holders.push_back(rig.spawnAs(uid, [] {
            // Each place is held by an answered connection, so that the daemon has taken
            // them all. The probes below take a place for a moment while the holders come
            // in, so a connection told busy then is simply tried again.
            const auto until = Clock::now() + 15s;
            for (int held = 0; held < 4 && Clock::now() < until;) {
                const int fd = connectTo(kSocket);
                if (fd >= 0 && sendAll(fd, "ping\n") && readLine(fd) == "OK pong fans=2") {
                    ++held;
                } else {
                    if (fd >= 0) ::close(fd);
                    std::this_thread::sleep_for(50ms);
                }
            }
            std::this_thread::sleep_for(20s);
            return 0;
        }));
    }
    // A seventeenth user, once the others are in, is told the daemon is busy.
    const auto deadline = Clock::now() + 15s;
    bool busy = false;
    while (!busy && Clock::now() < deadline) {
        busy = rig.asNobody([] {
            const int fd = connectTo(kSocket);
            return fd >= 0 && readLine(fd, 1000) == kBusy && closedByPeer(fd, 1000) ? 0 : 1;
        }) == 0;
        if (!busy) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(busy);
    // The owner and root are served.
    EXPECT_EQ(rig.askAs(kOwner, "set 0 4000"), "OK set fan=0 rpm=4000");
    EXPECT_EQ(rig.ask("ping"), "OK pong fans=2");

    // A second daemon, as root by hand, finds the first and leaves everything as it is.
    EXPECT_EQ(rig.tmp.run({ORVTOOL_BINARY, "serve"}, "/tmp/second.err"), 1);
    EXPECT_NE(
        rig.tmp.read("/tmp/second.err").find("控制服务已在运行（pid " + std::to_string(rig.pid)),
        std::string::npos)
        << rig.tmp.read("/tmp/second.err");
    EXPECT_EQ(statOf(rig.socket()).st_ino, before.st_ino);
    EXPECT_TRUE(rig.forced(0, true));
    EXPECT_EQ(::access(rig.tmp.path(kMark).c_str(), F_OK), 0);
    EXPECT_EQ(rig.ask("ping"), "OK pong fans=2");

    for (const pid_t holder : holders) {
        ::kill(holder, SIGKILL);
        Rig::wait(holder);
    }
    ASSERT_EQ(::kill(rig.pid, SIGTERM), 0);
    EXPECT_EQ(rig.waitExit(), 0);
    EXPECT_FALSE(rig.forced(0, true));
}

// `quit` from a user who neither is root nor started the daemon is refused: the daemon
// keeps serving and the owner's forced fan stays forced. The owner may make it quit.
TEST(DaemonAttack, QuitOnlyFromRootOrTheOwner) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.start("", kOwner));
    ASSERT_EQ(rig.askAs(kOwner, "set 0 4000"), "OK set fan=0 rpm=4000");
    EXPECT_EQ(rig.askAs(kNobody, "quit"), "ERR 只有 root 或启动控制服务的用户可以让它退出");
    EXPECT_EQ(rig.askAs(kNobody, "quit", kTmpSocket),
              "ERR 只有 root 或启动控制服务的用户可以让它退出");
    EXPECT_EQ(rig.ask("ping"), "OK pong fans=2");
    EXPECT_TRUE(rig.forced(0, true));

    EXPECT_EQ(rig.askAs(kOwner, "quit"), "OK bye");
    EXPECT_EQ(rig.waitExit(), 0);
    EXPECT_FALSE(rig.forced(0, true));
}

// One user's connect storm past its cap: the refusals are counted, not logged one by one,
// so the log keeps its history.
TEST(DaemonAttack, ConnectStormCannotEmptyTheLog) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.start());
    const pid_t holder = rig.spawnAsNobody([] {
        std::vector<int> fds;
        for (int i = 0; i < 4; ++i)
            fds.push_back(connectTo(kSocket));
        std::this_thread::sleep_for(20s);
        return 0;
    });
    std::this_thread::sleep_for(300ms);
    std::vector<pid_t> stormers;
    for (int i = 0; i < 6; ++i) {
        stormers.push_back(rig.spawnAsNobody([] {
            const auto end = Clock::now() + 4s;
            int refused = 0;
            while (Clock::now() < end) {
                const int fd = connectTo(kSocket);
                if (fd >= 0 && readLine(fd, 1000) == kBusy) ++refused;
                if (fd >= 0) ::close(fd);
            }
            return refused > 0 ? 0 : 1;
        }));
    }
    for (const pid_t stormer : stormers)
        EXPECT_EQ(Rig::wait(stormer), 0);
    ::kill(holder, SIGKILL);
    Rig::wait(holder);
    ASSERT_EQ(::kill(rig.pid, SIGTERM), 0);
    EXPECT_EQ(rig.waitExit(), 0);

    const std::string log = rig.tmp.read(kLog);
    EXPECT_TRUE(rig.tmp.read(kOldLog).empty());
    EXPECT_NE(log.find("Orvane 守护进程已启动"), std::string::npos);
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = log.find("uid=65534 的连接数已达上限", at)) != std::string::npos;
         ++at)
        ++lines;
    EXPECT_EQ(lines, 1u) << log;
    // The stop logs how many more were refused.
    EXPECT_NE(log.find("[serve] 用户 uid=65534 在 60 秒内另有 "), std::string::npos) << log;
}

// The mark of forced fans follows the fans whoever forces them, also when something else
// of root removed it meanwhile; on both machine families.
TEST(DaemonAttack, ForcedMarkFollowsTheFansOfEveryClient) {
    for (const auto& [profile, modeKeys] :
         {std::pair{"recent-2fan.prof", true}, std::pair{"older-2fan.prof", false}}) {
        SCOPED_TRACE(profile);
        Rig rig(profile);
        REQUIRE_NAMESPACE(rig);
        ASSERT_TRUE(rig.start());
        const std::string mark = rig.tmp.path(kMark);
        const auto marked = [&mark] { return ::access(mark.c_str(), F_OK) == 0; };
        EXPECT_EQ(rig.askAs(kNobody, "set 0 4000"), "OK set fan=0 rpm=4000");
        EXPECT_TRUE(marked());
        EXPECT_EQ(rig.ask("set 1 4000").rfind("OK set fan=1", 0), 0u);
        ASSERT_EQ(::unlink(mark.c_str()), 0);
        EXPECT_EQ(rig.askAs(kNobody, "set 0 4500"), "OK set fan=0 rpm=4500");
        EXPECT_TRUE(marked());
        EXPECT_EQ(rig.askAs(kNobody, "auto 0"), "OK auto fan=0");
        EXPECT_TRUE(marked());  // fan 1 is still forced
        EXPECT_EQ(rig.ask("auto 1"), "OK auto fan=1");
        EXPECT_FALSE(marked());
        EXPECT_FALSE(rig.forced(0, modeKeys) || rig.forced(1, modeKeys));
    }
}
