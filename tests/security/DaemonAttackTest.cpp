// Attacks of another local user (uid 65534) on the root control daemon: a real
// `orvtool serve` as root in a private /tmp and /var/log, on the emulator, with the attacker
// as a process of uid 65534 in the same namespace. Each attack is shown to fail: nothing is
// written through planted paths, the log stays bounded and free of control bytes, no client
// locks others out, and every stop hands the fans back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../../orvtool/cli/Texts.h"
#include "../../orvtool/serve/ServeTexts.h"
#include "ControlProtocol.h"
#include "DaemonRig.h"
#include "Deadline.h"
#include "Process.h"
#include "Reply.h"
#include "SocketClient.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using protocol::formatReply;
using protocol::Reply;

constexpr uid_t kNobody = 65534;
// The daemon's own address, and the second one for scripts.
constexpr const char* kSocket = protocol::kSocketPath;
constexpr const char* kTmpSocket = protocol::kFallbackSocketPath;
constexpr const char* kMark = paths::kForcedMarkPath;
// The user who started the daemon (through sudo), in the tests that need one.
constexpr uid_t kOwner = 40100;
constexpr const char* kLog = paths::kLogPath;
const std::string kOldLog = std::string(paths::kLogDir) + "/" + paths::kLogOldName;
const std::string kPong = formatReply(Reply::pong(2));

// The log line of a served request.
std::string served(const std::string& request, const std::string& reply) {
    return texts::kServeLog + request + texts::kServeLogArrow + reply;
}

// A root daemon on an emulator in a private /tmp, its clock frozen; standard error to
// /dev/null, so that the log file in /var/log/orvane is its only record.
class Rig : public DaemonRig {
  public:
    explicit Rig(const std::string& profile = machines::kModeKeys)
        : DaemonRig(ORVTOOL_BINARY, profile) {
        emu().control("clock freeze");
    }

    // With stderrInside the daemon's standard error goes to that file inside, as a whole
    // record of its lines (the log file rotates). With an owner, it is started as sudo
    // starts it for that user. Waits for the daemon's own address: the one in /tmp may be
    // another user's to fight over.
    bool startDaemon(const std::string& stderrInside = "", uid_t owner = 0) {
        ProcessOptions options;
        options.capture = false;
        options.logFile = stderrInside;
        if (owner != 0) options.env.emplace_back(paths::kSudoUidEnv, std::to_string(owner));
        return start({"serve"}, options, kSocket);
    }

    // A root client on a fresh connection at the daemon's own address: the reply.
    std::string ask(const std::string& request) const {
        return SocketClient::ask(mainSocketPath(), request).value_or("(no connection)");
    }

    // `body` in a process of user `uid` (and the group of that number) inside the namespace.
    Process as(uid_t uid, const std::function<int()>& body) {
        ProcessOptions options;
        options.uid = uid;
        options.namespaceFd = tmp().namespaceFd();
        return Process::call(body, options);
    }
    Process asNobody(const std::function<int()>& body) { return as(kNobody, body); }
    int shellAsNobody(const std::string& script) {
        return tmp().run({"/bin/sh", "-c", script}, "", kNobody);
    }

    // The reply to one request of another user, at the daemon's address or another: the
    // child prints it on its standard output.
    std::string askAs(uid_t uid, const std::string& request, const char* at = kSocket) {
        Process child = as(uid, [&] {
            const std::string reply = SocketClient::ask(at, request).value_or("");
            return ::write(STDOUT_FILENO, reply.data(), reply.size()) == ssize_t(reply.size()) ? 0
                                                                                               : 1;
        });
        const std::string reply = child.out();
        child.finish();
        return reply;
    }

    int stop(int sig = SIGTERM) {
        daemon().signal(sig);
        return daemon().finish();
    }
};

#define REQUIRE_NAMESPACE(rig)                                                      \
    if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp and uid 65534 need root"; \
    ASSERT_TRUE((rig).ok()) << (rig).error()

bool hasRawControlBytes(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return (c < 0x20 && c != '\n') || c == 0x7F;
    });
}

// Whether the daemon turned a fresh connection away: closed without a reply, or with an
// error line, where a served connection gets its pong.
bool refusedOnConnect() {
    SocketClient client(kSocket);
    return !client.connected() || !protocol::isOK(client.request("ping"));
}

// A connection that fails at once where a full backlog would make a connect wait; -1 then.
int connectWithoutWaiting(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
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
    const std::string shellLine = "x;id>/tmp/pwned;#";
    const std::string unknown = formatReply(Reply::unknownCommand(shellLine));
    for (const auto& [kind, script] : plants) {
        SCOPED_TRACE(kind);
        Rig rig;
        REQUIRE_NAMESPACE(rig);
        std::ofstream(rig.tmp().path("/tmp/victim")) << "root's";
        ASSERT_EQ(rig.shellAsNobody(script), 0);
        const struct stat before = statOf(rig.tmp().path("/tmp/orvane-daemon.log"));

        ASSERT_TRUE(rig.startDaemon());
        // The plant is replaced at the address for scripts too, which the daemon binds just
        // after its own.
        waitUntil([&] { return S_ISSOCK(statOf(rig.socketPath()).st_mode); });
        for (const std::string& path : {rig.mainSocketPath(), rig.socketPath()}) {
            const struct stat sock = statOf(path);
            EXPECT_TRUE(S_ISSOCK(sock.st_mode)) << path;
            EXPECT_EQ(sock.st_uid, 0u);
            EXPECT_EQ(sock.st_mode & 0777, 0666u);
        }
        // A request meant for a shell is only data.
        EXPECT_EQ(rig.ask(shellLine), unknown);
        EXPECT_EQ(rig.askAs(kNobody, "ping", kTmpSocket), kPong);
        EXPECT_EQ(rig.stop(), 0);

        EXPECT_EQ(rig.tmp().read("/tmp/victim"), "root's");
        EXPECT_NE(::access(rig.tmp().path("/tmp/pwned").c_str(), F_OK), 0);
        const struct stat after = statOf(rig.tmp().path("/tmp/orvane-daemon.log"));
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_size, before.st_size);
        EXPECT_EQ(after.st_uid, kNobody);
        if (kind == "fifo") {
            // Never opened by the daemon: still nobody reads it.
            const int w =
                ::open(rig.tmp().path("/tmp/orvane-daemon.log").c_str(), O_WRONLY | O_NONBLOCK);
            EXPECT_EQ(w, -1);
            if (w >= 0) ::close(w);
        }
        const std::string log = rig.tmp().read(kLog);
        EXPECT_NE(log.find(kTmpSocket + std::string(texts::kServeFoundWas)), std::string::npos)
            << log;
        EXPECT_NE(log.find(served(shellLine, unknown)), std::string::npos) << log;
        if (kind == "directory") {
            // Moved aside whole, its link not followed.
            EXPECT_NE(log.find(texts::kServeFoundMoved + std::string(kTmpSocket) + ".moved."),
                      std::string::npos)
                << log;
        }
    }
}

TEST(DaemonAttack, FloodOfControlBytesLeavesABoundedCleanLog) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.startDaemon());
    std::string line = "\x1b[2J\x1b]0;owned\x07\rfake [serve] ping → OK";
    line += std::string(1, '\0') + "\xc2\x9b" + "31m";
    while (line.size() < 4000)
        line += "\x1b\r" + std::string(1, '\0') + "xyz";
    line += "\n";
    Process flood = rig.asNobody([&] {
        const auto end = Clock::now() + 4s;
        SocketClient client(kSocket);
        while (Clock::now() < end) {
            if (!client.connected()) client = SocketClient(kSocket);
            if (!client.connected()) return 2;
            // Replies are read, so that only the log is under test here.
            if (!client.send(line) || !client.readLine()) client.close();
        }
        return 0;
    });
    EXPECT_EQ(flood.finish(20s), 0);
    EXPECT_EQ(rig.ask("ping"), kPong);

    const std::string current = rig.tmp().read(kLog);
    const std::string old = rig.tmp().read(kOldLog);
    const std::string both = old + current;
    EXPECT_FALSE(old.empty()) << "the flood should have rotated the log at least once";
    EXPECT_LE(current.size(), 1u << 20);
    EXPECT_LE(old.size(), 1u << 20);
    EXPECT_FALSE(hasRawControlBytes(current));
    EXPECT_FALSE(hasRawControlBytes(old));
    EXPECT_EQ(both.find("\xc2\x9b"), std::string::npos);
    EXPECT_NE(both.find("\\e[2J\\e]0;owned\\x07\\rfake [serve] ping → OK\\0\\u009B31m"),
              std::string::npos);
    EXPECT_NE(both.find(texts::kServeLogCut), std::string::npos);
}

// A pipeliner that never reads, a slow loris and silent clients of another user: root's
// requests are answered all the while they hold their connections. Only that order is
// asserted, never how fast an answer came.
TEST(DaemonAttack, NoClientLocksOutTheOthers) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.startDaemon("/tmp/daemon.stderr"));

    // A pipeliner that never reads, reconnecting whenever it is dropped, until it is ended.
    Process pipeliner = rig.asNobody([] {
        std::string many;
        for (int i = 0; i < 300'000; ++i)
            many += "ping\n";
        for (;;) {
            SocketClient(kSocket).send(many);
            std::this_thread::sleep_for(100ms);
        }
        return 0;
    });
    // A slow loris: one byte of "ping" every 1.5 s; 0 when the daemon drops it first.
    Process loris = rig.asNobody([] {
        SocketClient client(kSocket);
        if (!client.connected()) return 2;
        for (const char c : std::string("pppppppppppping\n")) {
            if (!client.send(std::string(1, c))) return 0;
            if (client.closedByPeer(1500ms)) return 0;
        }
        return 1;
    });
    std::this_thread::sleep_for(300ms);
    // Nine silent clients: at most the rest of the user's connections are kept, the others
    // are told the daemon is busy or closed at once. They hold what they got until the test ends
    // them.
    Process silent = rig.asNobody([] {
        std::vector<SocketClient> clients;
        for (int i = 0; i < 9; ++i)
            clients.emplace_back(kSocket);
        int refused = 0;
        for (SocketClient& client : clients)
            refused += !client.connected() ||
                       protocol::isBusy(client.readLine(200ms).value_or("")) ||
                       client.closedByPeer(200ms);
        const std::string count = std::to_string(refused) + "\n";
        (void)!::write(STDOUT_FILENO, count.data(), count.size());
        std::this_thread::sleep_for(60s);
        return 0;
    });
    const std::string refused = silent.outLine();

    // Root's pings, each on a fresh connection as the application sends them, while the
    // attack goes on (past the loris's line deadline). Each must be answered; those that
    // are while the loris is still connected are counted.
    const auto start = Clock::now();
    int answered = 0, beforeTheLorisWasDropped = 0;
    while (Clock::now() - start < 12s) {
        const bool lorisConnected = loris.running();
        EXPECT_EQ(rig.ask("ping"), kPong);
        ++answered;
        if (lorisConnected && loris.running()) ++beforeTheLorisWasDropped;
        std::this_thread::sleep_for(250ms);
    }
    // Every answer came while the silent clients held their places and the pipeliner kept
    // sending.
    EXPECT_TRUE(silent.running());
    EXPECT_TRUE(pipeliner.running());
    EXPECT_GE(beforeTheLorisWasDropped, 1);
    std::printf("root pings under attack: %d, %d of them while the loris held on\n", answered,
                beforeTheLorisWasDropped);

    EXPECT_EQ(loris.finish(20s), 0);
    EXPECT_GE(std::atoi(refused.c_str()), 5) << refused;
    pipeliner.kill();
    silent.kill();
    const std::string log = rig.tmp().read("/tmp/daemon.stderr");
    EXPECT_NE(log.find(texts::kServeLogLate + std::string("10") + texts::kServeLogLateTail),
              std::string::npos);
    EXPECT_NE(
        log.find(texts::kServeLogBacklog + std::string("65536") + texts::kServeLogBacklogTail),
        std::string::npos);
    EXPECT_NE(
        log.find(texts::kServeLogRefused + std::to_string(kNobody) + texts::kServeLogRefusedTail),
        std::string::npos);
}

// Each user but root holds at most 4 connections, and all of them together at most 64:
// the fifth of a user is refused, and so is any user's once 16 users hold 4 each, while
// root is still served.
TEST(DaemonAttack, ConnectionCapsCountEachUserAndSpareRoot) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.startDaemon());
    // A user that takes its 4 places, finds a fifth refused, says so on its standard output
    // ('0' when all went as it should) and holds on until the test ends it.
    const auto holder = [] {
        std::vector<SocketClient> held;
        char result = '0';
        for (int i = 0; i < 4; ++i) {
            held.emplace_back(kSocket);
            if (held.back().request("ping") != kPong) result = 'a';  // a place not served
        }
        if (!refusedOnConnect()) result = 'b';  // one past the cap served
        const char report[] = {result, '\n'};
        (void)!::write(STDOUT_FILENO, report, sizeof report);
        std::this_thread::sleep_for(60s);
        return 0;
    };
    std::vector<Process> users;
    std::string results;
    for (uid_t uid = 61000; uid < 61016; ++uid) {
        users.push_back(rig.as(uid, holder));
        results += users.back().outLine();
    }
    EXPECT_EQ(results, std::string(16, '0'));
    EXPECT_EQ(rig.as(61016, [] { return refusedOnConnect() ? 0 : 1; }).finish(), 0)
        << "a seventeenth user served past the total";
    EXPECT_EQ(rig.ask("ping"), kPong);
}

TEST(DaemonAttack, HangupHandsTheFansBackOnBothFamilies) {
    for (const char* profile : {machines::kModeKeys, machines::kRaisedMinimum}) {
        SCOPED_TRACE(profile);
        Rig rig(profile);
        REQUIRE_NAMESPACE(rig);
        ASSERT_TRUE(rig.startDaemon());
        EXPECT_EQ(protocol::parseReply(rig.ask("set 0 4000")).kind, protocol::ReplyKind::set);
        EXPECT_EQ(protocol::parseReply(rig.ask("set 1 4000")).kind, protocol::ReplyKind::set);
        ASSERT_TRUE(rig.forced(0) && rig.forced(1));
        // A connection waiting in the middle of a line does not delay the stop.
        SocketClient waiting(rig.mainSocketPath());
        waiting.send("set 0 25");
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(rig.stop(SIGHUP), 0);
        EXPECT_NE(::access(rig.mainSocketPath().c_str(), F_OK), 0);
        EXPECT_FALSE(rig.forced(0));
        EXPECT_FALSE(rig.forced(1));
    }
}

TEST(DaemonAttack, RunningOutOfDescriptorsIsOutlived) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.startDaemon());
    EXPECT_EQ(rig.ask("set 0 4000"), formatReply(Reply::set(0, 4000)));
    SocketClient first(rig.mainSocketPath());
    ASSERT_EQ(first.request("ping"), kPong);
    // Room for a few connections beyond what the daemon has open now.
    const pid_t daemon = rig.daemon().pid();
    rlim_t open = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(daemon) + "/fd")) {
        (void)entry;
        ++open;
    }
    const rlimit few{open + 4, open + 4};
    ASSERT_EQ(::prlimit(daemon, RLIMIT_NOFILE, &few, nullptr), 0);

    // Root's connections up to its cap: the daemon runs out of descriptors long before.
    std::vector<int> fds;
    for (int i = 0; i < 15; ++i) {
        const int fd = connectWithoutWaiting(rig.mainSocketPath());
        if (fd >= 0) fds.push_back(fd);
    }
    const std::string retry = texts::kServeLogAcceptRetry + std::string("24");
    waitUntil([&] { return rig.tmp().read(kLog).find(retry) != std::string::npos; }, 5s);
    EXPECT_NE(rig.tmp().read(kLog).find(retry + texts::kServeLogAcceptRetryTail),
              std::string::npos);
    // Still serving the connections it has, and alive with the fan still forced.
    EXPECT_EQ(first.request("ping"), kPong);
    for (const int fd : fds)
        ::close(fd);
    first.close();
    EXPECT_EQ(rig.ask("ping"), kPong);
    EXPECT_TRUE(rig.daemon().running());
    EXPECT_TRUE(rig.forced(0));

    EXPECT_EQ(rig.stop(), 0);
    EXPECT_FALSE(rig.forced(0));
}

TEST(DaemonAttack, LostOutputIsAnErrorOfTheTool) {
    Emulator emu(Emulator::shippedProfile(machines::kModeKeys));
    // stdoutSetup runs in the child before exec, which has an empty /run of its own: the
    // machine's record of fan minimums, whoever left it there, must not add its warning to
    // the output. The status and standard error come back.
    const auto run = [](const std::vector<std::string>& args,
                        const std::function<void()>& stdoutSetup) {
        std::vector<std::string> argv{ORVTOOL_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessOptions options;
        options.privateRun = true;
        Process tool = Process::call(
            [&] {
                stdoutSetup();
                std::vector<char*> pointers;
                for (std::string& a : argv)
                    pointers.push_back(a.data());
                pointers.push_back(nullptr);
                ::execv(ORVTOOL_BINARY, pointers.data());
                return kSetupFailed;
            },
            options);
        const std::string err = tool.err();
        return std::pair{tool.finish(), err};
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
    const auto failed = [](const char* reason, int error) {
        return std::string(texts::kStdoutFailed) + reason + texts::kStdoutErrno +
               std::to_string(error) + ")\n";
    };
    const std::string noSpace = failed(texts::kStdoutNoSpace, ENOSPC);
    const std::string closedOut = failed(texts::kStdoutClosed, EBADF);
    EXPECT_EQ(run({"rpm"}, full), std::pair(1, noSpace));
    EXPECT_EQ(run({"info"}, full), std::pair(1, noSpace));
    EXPECT_EQ(run({"rpm"}, closed), std::pair(1, closedOut));
    EXPECT_EQ(run({"rpm"}, gone), std::pair(1, failed(texts::kStdoutBrokenPipe, EPIPE)));
    EXPECT_EQ(run({"watch", "5"}, full).first, 1);  // stops at the first row
    EXPECT_EQ(run({"rpm"}, [] { ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO); }).first, 0);
    // A change of the fans that was made is status 0 even when its report was lost: the
    // status says what happened to the fans, standard error what happened to the output.
    EXPECT_EQ(run({"set", "0", "3000"}, closed), std::pair(0, closedOut));
    EXPECT_EQ(hexString(emu.value("F0Md")), "01");
    EXPECT_EQ(run({"auto"}, full), std::pair(0, noSpace));
    EXPECT_EQ(hexString(emu.value("F0Md")), "00");
    EXPECT_EQ(run({"set", "9", "3000"}, closed).first, 1);  // no such fan: nothing changed
}

// Two processes of another user re-plant a link or a directory at /tmp/orvane.sock the
// moment it is free, racing the daemon's unlink and bind. The daemon's own address is in a
// directory only root can write, so every start succeeds, whoever wins at /tmp.
TEST(DaemonAttack, PlantRaceAtTmpCannotKeepTheDaemonFromStarting) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    std::ofstream(rig.tmp().path("/tmp/victim")) << "root's";
    std::vector<Process> planters;
    for (const bool directory : {false, true}) {
        planters.push_back(rig.asNobody([directory] {
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
        ASSERT_TRUE(rig.startDaemon()) << rig.tmp().read(kLog);
        EXPECT_EQ(rig.ask("ping"), kPong);
        EXPECT_EQ(rig.stop(), 0);
    }
    planters.clear();  // ends them
    EXPECT_EQ(rig.tmp().read("/tmp/victim"), "root's");
}

// Sixteen users hold four connections each, all the places other users share. The daemon
// is still there for them: a connection past the caps is told it is busy (so that no
// client takes it for a dead daemon and starts another), the user who started the daemon
// has places of their own, and a second daemon started over the first changes nothing.
TEST(DaemonAttack, FullCapsNeitherLockOutTheOwnerNorPassForADeadDaemon) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.startDaemon("", kOwner));
    const struct stat before = statOf(rig.mainSocketPath());
    std::vector<Process> holders;
    for (uid_t uid = 40001; uid <= 40016; ++uid) {
        holders.push_back(rig.as(uid, [] {
            // Each place is held by an answered connection, so that the daemon has taken
            // them all. The probes below take a place for a moment while the holders come
            // in, so a connection told busy then is simply tried again.
            std::vector<SocketClient> held;
            const Deadline until(15s);
            while (held.size() < 4 && !until.passed()) {
                SocketClient client(kSocket);
                if (client.request("ping") == kPong) {
                    held.push_back(std::move(client));
                } else {
                    std::this_thread::sleep_for(50ms);
                }
            }
            std::this_thread::sleep_for(60s);
            return 0;
        }));
    }
    // A seventeenth user, once the others are in, is told the daemon is busy.
    const bool busy = waitUntil(
        [&] {
            return rig.asNobody([] {
                          SocketClient client(kSocket);
                          return protocol::isBusy(client.readLine(1s).value_or("")) &&
                                         client.closedByPeer(1s)
                                     ? 0
                                     : 1;
                      })
                       .finish() == 0;
        },
        15s, 100ms);
    EXPECT_TRUE(busy);
    // The owner and root are served.
    EXPECT_EQ(rig.askAs(kOwner, "set 0 4000"), formatReply(Reply::set(0, 4000)));
    EXPECT_EQ(rig.ask("ping"), kPong);

    // A second daemon, as root by hand, finds the first and leaves everything as it is.
    const ProcessResult second = rig.tool({"serve"});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find(texts::kServeAlreadyRunning + std::to_string(rig.daemon().pid())),
              std::string::npos)
        << second.err;
    EXPECT_EQ(statOf(rig.mainSocketPath()).st_ino, before.st_ino);
    EXPECT_TRUE(rig.forced(0));
    EXPECT_EQ(::access(rig.tmp().path(kMark).c_str(), F_OK), 0);
    EXPECT_EQ(rig.ask("ping"), kPong);

    holders.clear();  // ends them
    EXPECT_EQ(rig.stop(), 0);
    EXPECT_FALSE(rig.forced(0));
}

// `quit` from a user who neither is root nor started the daemon is refused: the daemon
// keeps serving and the owner's forced fan stays forced. The owner may make it quit.
TEST(DaemonAttack, QuitOnlyFromRootOrTheOwner) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.startDaemon("", kOwner));
    ASSERT_EQ(rig.askAs(kOwner, "set 0 4000"), formatReply(Reply::set(0, 4000)));
    EXPECT_EQ(rig.askAs(kNobody, "quit"), protocol::kReplyQuitRefused);
    EXPECT_EQ(rig.askAs(kNobody, "quit", kTmpSocket), protocol::kReplyQuitRefused);
    EXPECT_EQ(rig.ask("ping"), kPong);
    EXPECT_TRUE(rig.forced(0));

    EXPECT_EQ(rig.askAs(kOwner, "quit"), protocol::kReplyBye);
    EXPECT_EQ(rig.daemon().finish(), 0);
    EXPECT_FALSE(rig.forced(0));
}

// One user's connect storm past its cap: the refusals are counted, not logged one by one,
// so the log keeps its history.
TEST(DaemonAttack, ConnectStormCannotEmptyTheLog) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.startDaemon());
    Process holder = rig.asNobody([] {
        std::vector<SocketClient> held;
        for (int i = 0; i < 4; ++i)
            held.emplace_back(kSocket);
        std::this_thread::sleep_for(60s);
        return 0;
    });
    std::this_thread::sleep_for(300ms);
    std::vector<Process> stormers;
    for (int i = 0; i < 6; ++i) {
        stormers.push_back(rig.asNobody([] {
            const auto end = Clock::now() + 4s;
            int refused = 0;
            while (Clock::now() < end) {
                SocketClient client(kSocket);
                if (client.connected() && protocol::isBusy(client.readLine(1s).value_or("")))
                    ++refused;
            }
            return refused > 0 ? 0 : 1;
        }));
    }
    for (Process& stormer : stormers)
        EXPECT_EQ(stormer.finish(20s), 0);
    holder.kill();
    EXPECT_EQ(rig.stop(), 0);

    const std::string log = rig.tmp().read(kLog);
    EXPECT_TRUE(rig.tmp().read(kOldLog).empty());
    EXPECT_NE(log.find(texts::kServeBanner), std::string::npos);
    const std::string refusal = std::string(texts::kServeLogRefused) + std::to_string(kNobody) +
                                texts::kServeLogRefusedTail;
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = log.find(refusal, at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, 1u) << log;
    // The stop logs how many more were refused.
    EXPECT_NE(log.find(texts::kServeLogRefusedCount + std::to_string(kNobody) +
                       texts::kServeLogRefusedCountIn + "60" + texts::kServeLogRefusedCountMore),
              std::string::npos)
        << log;
}

// The mark of forced fans follows the fans whoever forces them, also when something else
// of root removed it meanwhile; on both machine families.
TEST(DaemonAttack, ForcedMarkFollowsTheFansOfEveryClient) {
    for (const char* profile : {machines::kModeKeys, machines::kRaisedMinimum}) {
        SCOPED_TRACE(profile);
        Rig rig(profile);
        REQUIRE_NAMESPACE(rig);
        ASSERT_TRUE(rig.startDaemon());
        const std::string mark = rig.tmp().path(kMark);
        const auto marked = [&mark] { return ::access(mark.c_str(), F_OK) == 0; };
        EXPECT_EQ(rig.askAs(kNobody, "set 0 4000"), formatReply(Reply::set(0, 4000)));
        EXPECT_TRUE(marked());
        EXPECT_EQ(protocol::parseReply(rig.ask("set 1 4000")).kind, protocol::ReplyKind::set);
        ASSERT_EQ(::unlink(mark.c_str()), 0);
        EXPECT_EQ(rig.askAs(kNobody, "set 0 4500"), formatReply(Reply::set(0, 4500)));
        EXPECT_TRUE(marked());
        EXPECT_EQ(rig.askAs(kNobody, "auto 0"), formatReply(Reply::autoFan(0)));
        EXPECT_TRUE(marked());  // fan 1 is still forced
        EXPECT_EQ(rig.ask("auto 1"), formatReply(Reply::autoFan(1)));
        EXPECT_FALSE(marked());
        EXPECT_FALSE(rig.forced(0) || rig.forced(1));
    }
}

// The daemon's standard error on a terminal whose other end nobody reads, or on a pipe
// nobody reads: far more lines than either holds are logged while many requests are
// answered, SIGTERM stops the daemon at once with the fan handed back, and the lines
// standard error lost are counted in the log file.
TEST(DaemonAttack, StandardErrorNobodyReadsNeverHoldsTheDaemon) {
    for (const bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "pipe");
        Rig rig;
        REQUIRE_NAMESPACE(rig);
        ProcessOptions options;
        options.capture = false;
        options.namespaceFd = rig.tmp().namespaceFd();
        // The unread end stays open in the daemon itself, so writes find it full, not gone.
        Process daemon = Process::call(
            [terminal] {
                int unread = -1;
                int stderrEnd = -1;
                if (terminal) {
                    unread = ::posix_openpt(O_RDWR | O_NOCTTY);
                    if (unread < 0 || ::grantpt(unread) != 0 || ::unlockpt(unread) != 0)
                        return kSetupFailed;
                    stderrEnd = ::open(::ptsname(unread), O_WRONLY | O_NOCTTY);
                } else {
                    int fds[2];
                    if (::pipe(fds) != 0) return kSetupFailed;
                    unread = fds[0];
                    stderrEnd = fds[1];
                }
                if (stderrEnd < 0 || ::dup2(stderrEnd, STDERR_FILENO) < 0) return kSetupFailed;
                ::execl(ORVTOOL_BINARY, ORVTOOL_BINARY, "serve", static_cast<char*>(nullptr));
                return kSetupFailed;
            },
            options);
        ASSERT_TRUE(rig.waitForSocket(daemon, kSocket));
        EXPECT_EQ(rig.ask("set 0 4000"), formatReply(Reply::set(0, 4000)));
        // Each answered request is a line on standard error: some 200 KB in all.
        int answered = 0;
        for (int connection = 0; connection < 10; ++connection) {
            SocketClient client(rig.mainSocketPath());
            for (int i = 0; i < 300; ++i)
                answered += client.request("ping") == kPong ? 1 : 0;
        }
        EXPECT_EQ(answered, 3000);
        daemon.terminate();
        EXPECT_EQ(daemon.finish(10s), 0);
        EXPECT_FALSE(rig.forced(0));
        EXPECT_NE(rig.tmp().read(kLog).find(texts::kServeLogDropped), std::string::npos);
    }
}

// Users hold leases (`hold`) on all the connections they may open: held connections take
// at most two places of a user and half of the places the users share, a `hold` past that is
// told the daemon is busy and its connection closed, and a user who comes next is served.
TEST(DaemonAttack, LeasesLeavePlacesForOtherUsers) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_TRUE(rig.startDaemon());
    // Asks for a lease on 3 connections, prints how many were granted (and 'x' when a refused
    // one was not told busy and closed), and holds on until the test ends it.
    const auto holder = [] {
        std::vector<SocketClient> held;
        std::string report;
        for (int i = 0; i < 3; ++i) {
            SocketClient client(kSocket);
            const std::string reply = client.request("hold");
            if (protocol::parseReply(reply).kind == protocol::ReplyKind::hold) {
                held.push_back(std::move(client));
            } else if (!protocol::isBusy(reply) || !client.closedByPeer(2s)) {
                report += 'x';
            }
        }
        report += std::to_string(held.size()) + "\n";
        (void)!::write(STDOUT_FILENO, report.data(), report.size());
        std::this_thread::sleep_for(60s);
        return 0;
    };
    std::vector<Process> users;
    std::vector<std::string> granted;
    for (uid_t uid = 41000; uid < 41020; ++uid) {
        users.push_back(rig.as(uid, holder));
        granted.push_back(users.back().outLine());
    }
    // In order: 16 users hold 2 each, the half of the 64 shared places; then none is left.
    std::vector<std::string> expected(16, "2");
    expected.resize(20, "0");
    EXPECT_EQ(granted, expected);
    EXPECT_EQ(rig.askAs(kNobody, "ping"), kPong) << "a new user kept out by the leases";
    EXPECT_EQ(rig.ask("hold"), formatReply(Reply::hold(10)));  // root holds in its own places
    users.clear();
    EXPECT_EQ(rig.stop(), 0);
}

// A full disk under the log: the line that does not fit is cut off again, never left as half
// a line, and once there is room the log says how many lines it lost.
TEST(DaemonAttack, FullDiskLeavesNoHalfLineInTheLog) {
    Rig rig;
    REQUIRE_NAMESPACE(rig);
    ASSERT_EQ(
        rig.tmp().run({"/bin/sh", "-c",
                       std::string("mkdir -p ") + paths::kLogDir +
                           " && mount -t tmpfs -o size=64k,mode=0755 tmpfs " + paths::kLogDir}),
        0);
    ASSERT_TRUE(rig.startDaemon());
    const std::string fill = std::string(paths::kLogDir) + "/fill";
    // Fills what is left of the disk but the last page of the log file.
    rig.tmp().run({"/bin/sh", "-c", "dd if=/dev/zero of=" + fill + " bs=1k 2>/dev/null"});
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(rig.ask("ping"), kPong);
    const std::string full = rig.tmp().read(kLog);
    ASSERT_FALSE(full.empty());
    EXPECT_EQ(full.back(), '\n');

    ASSERT_EQ(rig.tmp().run({"/bin/rm", fill}), 0);
    EXPECT_EQ(rig.ask("ping"), kPong);
    EXPECT_EQ(rig.stop(), 0);
    const std::string log = rig.tmp().read(kLog);
    EXPECT_EQ(log.back(), '\n');
    // Every line whole: a UTC time in front of each.
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(line.substr(0, 2), "20") << line;
    EXPECT_NE(log.find(texts::kServeLogFileDropped), std::string::npos) << log;
}
