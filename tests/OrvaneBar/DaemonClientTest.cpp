#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "AppFixture.h"
#include "AppPaths.h"
#include "ControlProtocol.h"
#include "DaemonClient.h"
#include "DaemonFakes.h"
#include "DaemonLease.h"
#include "DaemonStarter.h"
#include "PrivilegedLauncher.h"
#include "Reply.h"
#include "StandingSettings.h"
#include "ToolTrust.h"

using namespace std::chrono_literals;

namespace {

void touch(const std::string& path, mode_t mode = 0755) {
    std::ofstream(path) << "#!/bin/sh\n";
    ::chmod(path.c_str(), mode);
}

// Waits, handling events, until the file holds text; gives up after ten seconds.
bool waitForContent(const std::string& path, const std::string& text) {
    return QTest::qWaitFor([&] { return readFile(path) == text; }, 10000);
}

}  // namespace

// The daemon's client and starter with the application's seams; the tool lies in the folder
// itself, and the starter counts its kick-starts.
class DaemonClientTest : public AppFixture {
  protected:
    std::string toolPath() const override { return path("orvtool"); }
    DaemonClient::Options options() { return seams().daemon; }
    DaemonStarter::Options starterOptions() {
        DaemonStarter::Options o = seams().starter;
        o.plistPath = path("service.plist");
        o.kickstart = [kicks = kicks] {
            ++*kicks;
            return true;
        };
        return o;
    }
    DaemonStarter starter(const DaemonClient& client) {
        return DaemonStarter(client, starterOptions());
    }

    const std::string tool = toolPath();
    std::shared_ptr<std::atomic<int>> kicks = std::make_shared<std::atomic<int>>(0);
};

TEST_F(DaemonClientTest, JudgesTheFirstReplyLine) {
    struct Case {
        std::vector<std::string> pieces;
        std::optional<std::string> line;
        DaemonStatus status;
    };
    const Case cases[] = {
        {{"OK pong fans=2\n"}, "OK pong fans=2", DaemonStatus::alive},
        {{"OKAY whatever\n"}, "OKAY whatever", DaemonStatus::alive},
        {{"ok\n"}, "ok", DaemonStatus::down},
        {{" OK\n"}, " OK", DaemonStatus::down},
        {{"ERR 未知命令: ping\n"}, "ERR 未知命令: ping", DaemonStatus::down},
        // Pieces are joined until the first line feed; what follows it is dropped.
        {{"O", "K po", "ng\nsecond line\n"}, "OK pong", DaemonStatus::alive},
        {{"OK first\nsecond\n"}, "OK first", DaemonStatus::alive},
        // Nothing is trimmed; a stream ended without line feed is used whole.
        {{"OK\r\n"}, "OK\r", DaemonStatus::alive},
        {{"OK no line feed"}, "OK no line feed", DaemonStatus::alive},
        // Closed without any byte: an empty reply, present but not alive.
        {{}, "", DaemonStatus::down},
        // Invalid UTF-8 in the first line: absent; after it: ignored.
        {{"OK \xff\xfe\n"}, std::nullopt, DaemonStatus::down},
        {{"OK \xc0\xaf\n"}, std::nullopt, DaemonStatus::down},
        {{"OK fine\n\xff"}, "OK fine", DaemonStatus::alive},
    };
    const DaemonClient client(options());
    for (const Case& c : cases) {
        FakeDaemon daemon(socketPath(),
                          [&](const std::string&) { return FakeDaemon::Reply{c.pieces}; });
        ASSERT_TRUE(daemon.ok());
        const std::string shown = c.pieces.empty() ? "(nothing)" : c.pieces.front();
        EXPECT_EQ(client.send("ping"), c.line) << shown;
        EXPECT_EQ(client.probe(), c.status) << shown;
        EXPECT_EQ(client.isAlive(), c.status == DaemonStatus::alive) << shown;
        EXPECT_EQ(daemon.lines(), (std::vector<std::string>{"ping", "ping", "ping"})) << shown;
    }
}

TEST_F(DaemonClientTest, NobodyListeningIsDown) {
    const DaemonClient client(options());
    EXPECT_EQ(client.exchange("ping").outcome, DaemonClient::Exchange::Outcome::noDaemon);
    EXPECT_EQ(client.probe(), DaemonStatus::down);

    // A socket file left behind by a daemon that is gone.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath().c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
    EXPECT_EQ(client.send("ping"), std::nullopt);
    EXPECT_EQ(client.probe(), DaemonStatus::down);

    // A path too long for the address structure is not truncated to another one.
    DaemonClient::Options tooLong = options();
    tooLong.socketPath = std::string(200, 'x');
    EXPECT_EQ(DaemonClient(tooLong).probe(), DaemonStatus::down);
}

TEST_F(DaemonClientTest, SilentDaemonIsBoundedAndUnresponsive) {
    for (const std::vector<std::string>& pieces :
         {std::vector<std::string>{}, std::vector<std::string>{"OK pong but no line feed"}}) {
        FakeDaemon daemon(socketPath(), [&](const std::string&) {
            return FakeDaemon::Reply{pieces, true};
        });
        const DaemonClient client(options());
        // Returns (the time limit ends the exchange) and counts as no reply.
        const DaemonClient::Exchange result = client.exchange("ping");
        EXPECT_EQ(result.outcome, DaemonClient::Exchange::Outcome::noReplyInTime);
        EXPECT_EQ(result.line, std::nullopt);
        EXPECT_EQ(client.send("set 0 2000"), std::nullopt);
        EXPECT_EQ(client.probe(), DaemonStatus::unresponsive);
    }
}

TEST_F(DaemonClientTest, EnsureRunningLeavesAnAnsweringDaemonAlone) {
    const DaemonClient client(options());
    touch(tool);
    {
        FakeDaemon daemon(socketPath(), FakeDaemon::daemonLike);
        EXPECT_EQ(starter(client).ensureRunning(), DaemonStatus::alive);
    }
    {
        // A daemon that takes connections but does not answer is not replaced.
        FakeDaemon daemon(socketPath(), [](const std::string&) {
            return FakeDaemon::Reply{{}, true};
        });
        EXPECT_EQ(starter(client).ensureRunning(), DaemonStatus::unresponsive);
    }
    EXPECT_TRUE(launcher->scripts().empty());
    EXPECT_EQ(*kicks, 0);
}

// A listener of another user gets no byte, whatever it would answer, and no daemon is
// started over it.
TEST_F(DaemonClientTest, ForeignListenerGetsNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a listener as another user";
    touch(tool);
    const std::string open = path("open");
    ASSERT_EQ(::chmod(dir.path().toUtf8().constData(), 0755), 0);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(open)));
    ASSERT_EQ(::chown(open.c_str(), ForeignListener::kUid, ForeignListener::kUid), 0);
    DaemonClient::Options o = options();
    o.socketPath = open + "/orvane.sock";
    ForeignListener listener(o.socketPath);
    ASSERT_TRUE(listener.ok());

    const DaemonClient client(o);
    const DaemonClient::Exchange result = client.exchange("set 0 5700");
    EXPECT_EQ(result.outcome, DaemonClient::Exchange::Outcome::foreignListener);
    EXPECT_EQ(result.peerUid, ForeignListener::kUid);
    EXPECT_EQ(result.line, std::nullopt);
    EXPECT_EQ(client.send("auto"), std::nullopt);
    const DaemonStatus foreign(DaemonStatus::foreign, ForeignListener::kUid);
    EXPECT_EQ(client.probe(), foreign);
    EXPECT_FALSE(client.isAlive());
    EXPECT_EQ(starter(client).ensureRunning(), foreign);
    // Nor is a lease asked of it.
    DaemonLease lease(client, {.retry = 20ms});
    lease.start();
    QTest::qWait(100);
    EXPECT_FALSE(lease.held());
    EXPECT_TRUE(launcher->scripts().empty());
    EXPECT_EQ(*kicks, 0);
    std::this_thread::sleep_for(400ms);  // past the listener's wait for a request
    EXPECT_EQ(listener.received(), "");
}

// The lease: held on a daemon that grants it, asked for again when its daemon is gone and
// another comes, slowly after a refusal, never of nobody's daemon, and no more once stopped.
TEST_F(DaemonClientTest, LeaseIsHeldTakenAgainWhenLostAndEndedByStop) {
    touch(tool);
    const auto grant = [](const std::string&) {
        return FakeDaemon::Reply{{"OK hold grace=10\n"}, true};  // kept open, as the daemon does
    };
    const std::vector<std::string> oneHold{"hold"};
    DaemonLease lease(DaemonClient(options()), {.retry = 20ms, .refusedRetry = 60s});
    lease.start();
    QTest::qWait(100);
    EXPECT_FALSE(lease.held());  // nothing listens, and nothing was started for it
    EXPECT_TRUE(launcher->scripts().empty());
    EXPECT_EQ(*kicks, 0);
    {
        FakeDaemon daemon(socketPath(), grant);
        ASSERT_TRUE(QTest::qWaitFor([&] { return lease.held(); }, 5000));
        EXPECT_EQ(daemon.lines(), oneHold);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !lease.held(); }, 5000));
    {
        FakeDaemon restarted(socketPath(), grant);
        ASSERT_TRUE(QTest::qWaitFor([&] { return lease.held(); }, 5000));
        lease.stop();
        QTest::qWait(200);
        EXPECT_FALSE(lease.held());
        EXPECT_EQ(restarted.lines(), oneHold);
    }
    FakeDaemon busy(socketPath(),
                    [](const std::string&) { return FakeDaemon::Reply{{"ERR 忙\n"}}; });
    DaemonLease refused(DaemonClient(options()), {.retry = 20ms, .refusedRetry = 60s});
    refused.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return busy.lines() == oneHold; }, 5000));
    QTest::qWait(200);
    EXPECT_FALSE(refused.held());
    EXPECT_EQ(busy.lines(), oneHold);
}

// Root runs only a tool no other user can change: a planted one is refused before any
// prompt, and a trusted one is started by its resolved path.
TEST_F(DaemonClientTest, EnsureRunningStartsOnlyATrustedTool) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a file as another user";
    touch(tool);
    ASSERT_EQ(::chown(tool.c_str(), ForeignListener::kUid, ForeignListener::kUid), 0);
    EXPECT_EQ(starter(DaemonClient(options())).ensureRunning(), DaemonStatus::untrustedTool);
    EXPECT_TRUE(launcher->scripts().empty());

    ASSERT_EQ(::chown(tool.c_str(), 0, 0), 0);
    const std::string link = path("link-to-orvtool");
    ASSERT_EQ(::symlink(tool.c_str(), link.c_str()), 0);
    DaemonStarter::Options o = starterOptions();
    o.toolPath = [link] { return link; };
    // The prompt is cancelled.
    EXPECT_EQ(DaemonStarter(DaemonClient(options()), o).ensureRunning(), DaemonStatus::down);
    EXPECT_EQ(launcher->scripts(), std::vector<std::string>{daemonStartScript(tool)});
}

TEST_F(DaemonClientTest, EnsureRunningWithoutTheToolStartsNothing) {
    std::ofstream(starterOptions().plistPath) << "<plist/>";  // even with the service installed
    EXPECT_EQ(starter(DaemonClient(options())).ensureRunning(), DaemonStatus::down);
    EXPECT_TRUE(launcher->scripts().empty());
    EXPECT_EQ(*kicks, 0);
}

TEST_F(DaemonClientTest, LauncherThatCannotStartEndsTheAttempt) {
    touch(tool);
    launcher->status = std::nullopt;
    EXPECT_EQ(starter(DaemonClient(options())).ensureRunning(), DaemonStatus::down);
    EXPECT_EQ(launcher->scripts().size(), 1u);
    EXPECT_EQ(*kicks, 0);
}

TEST_F(DaemonClientTest, ConcurrentAttemptsDoNotStartASecondDaemon) {
    touch(tool);
    std::unique_ptr<FakeDaemon> started;
    launcher->action = [&] {
        started = std::make_unique<FakeDaemon>(socketPath(), FakeDaemon::daemonLike);
    };
    const DaemonStarter starting = starter(DaemonClient(options()));
    QObject context;
    std::vector<DaemonStatus> results;
    bool onMainThread = true;
    for (int i = 0; i < 2; ++i) {
        starting.ensureRunningAsync(&context, [&](DaemonStatus s) {
            onMainThread = onMainThread && QThread::currentThread() == qApp->thread();
            results.push_back(s);
        });
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return results.size() == 2; }, 10000));
    EXPECT_TRUE(onMainThread);
    EXPECT_EQ(results, (std::vector<DaemonStatus>{DaemonStatus::alive, DaemonStatus::alive}));
    // The second attempt waited for the first and found its daemon.
    EXPECT_EQ(launcher->scripts().size(), 1u);
}

// Which fans an answer to `curves` says the daemon runs: a setting whose words do not parse
// is left out; a daemon that does not know the request, or none, runs none; an answer that
// tells nothing either way (none in time, busy, an error) keeps what was known (nullopt).
TEST(StandingSettings, WhatAnAnswerTells) {
    using Outcome = DaemonClient::Exchange::Outcome;
    using Fans = std::optional<std::vector<std::int64_t>>;
    const auto replied = [](const std::string& line) {
        return DaemonClient::Exchange{Outcome::replied, "/s", 0, line};
    };
    const std::pair<DaemonClient::Exchange, Fans> cases[] = {
        {replied(protocol::kReplyCurves), std::vector<std::int64_t>{}},
        {replied("OK curves curve 0 cpu 40:1500 80:5000; floor 1 2000"),
         std::vector<std::int64_t>{0, 1}},
        {replied("OK curves curve 0 cpu 40:1500; floor 1 2000; curve 2 cpu 80:1 40:2"),
         std::vector<std::int64_t>{1}},
        {replied(protocol::kReplyUnknown + std::string("curves")), std::vector<std::int64_t>{}},
        {{Outcome::noDaemon, "", 0, std::nullopt}, std::vector<std::int64_t>{}},
        {{Outcome::foreignListener, "/s", 65534, std::nullopt}, std::vector<std::int64_t>{}},
        {{Outcome::noReplyInTime, "/s", 0, std::nullopt}, std::nullopt},
        {{Outcome::replied, "/s", 0, std::nullopt}, std::nullopt},
        {replied(protocol::kReplyBusy), std::nullopt},
        {replied(protocol::formatReply(protocol::Reply::error("SMC 键不存在"))), std::nullopt},
        {replied("curves curve 0 cpu 40:1500 80:5000"), std::nullopt},
    };
    for (const auto& [exchange, expected] : cases) {
        const std::optional<StandingSettings> found = standingFansFrom(exchange);
        Fans fans;
        if (found) {
            fans.emplace();
            for (const auto& [fan, standing] : *found) {
                EXPECT_EQ(standing.fan, fan);
                fans->push_back(fan);
            }
        }
        EXPECT_EQ(fans, expected) << exchange.line.value_or("(none)");
    }
}

TEST(AppPaths, ToolBesideTheExecutableElseBesideTheBundle) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    const std::string macos = root + "/Orvane.app/Contents/MacOS";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(macos)));
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(root + "/links")));
    touch(macos + "/OrvaneBar");
    ASSERT_EQ(::symlink((macos + "/OrvaneBar").c_str(), (root + "/links/bar").c_str()), 0);

    // Symbolic links resolved: the directory is the bundle's, not the link's.
    const std::string exe = AppPaths::executablePathFrom(root + "/links/bar");
    EXPECT_EQ(exe, macos + "/OrvaneBar");
    EXPECT_EQ(AppPaths::deletingLastComponent(exe), macos);

    // Neither exists: beside the executable. Then each appears; nothing is cached.
    EXPECT_EQ(AppPaths::orvtoolPathFor(exe), macos + "/orvtool");
    touch(root + "/orvtool");
    EXPECT_EQ(AppPaths::orvtoolPathFor(exe), root + "/orvtool");
    touch(macos + "/orvtool");
    EXPECT_EQ(AppPaths::orvtoolPathFor(exe), macos + "/orvtool");

    // Fewer than four levels: candidate B stops at the root.
    EXPECT_EQ(AppPaths::deletingLastComponent("/a"), "/");
    EXPECT_EQ(AppPaths::deletingLastComponent("/"), "/");
    EXPECT_EQ(AppPaths::deletingLastComponent("/a/b/"), "/a");
}

TEST(AppPaths, BareProgramNameUsesTheRunningExecutable) {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer));
    ASSERT_GT(n, 0);
    const std::string self(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(AppPaths::executablePathFrom("orvanebar_tests"), self);
    // In the tests the first argument is this program.
    EXPECT_EQ(AppPaths::executablePath(), self);
    EXPECT_EQ(AppPaths::orvtoolPath(), AppPaths::orvtoolPathFor(self));
}

TEST(PrivilegedLauncher, ScriptsForOrdinaryPathsAreThePlainForms) {
    const std::string script = daemonStartScript("/Applications/orvtool");
    EXPECT_EQ(script, "(setsid '/Applications/orvtool' serve </dev/null >/dev/null 2>&1 &)");
    EXPECT_EQ(adminAppleScript(script),
              "do shell script \"(setsid '/Applications/orvtool' serve </dev/null >/dev/null "
              "2>&1 &)\" with administrator privileges");
}

TEST(PrivilegedLauncher, QuotesAreEscapedForShellAndAppleScript) {
    const std::string path = "/Users/o'neil/a \"b\" \\c/orvtool";
    const std::string script = daemonStartScript(path);
    EXPECT_EQ(script,
              "(setsid '/Users/o'\\''neil/a \"b\" \\c/orvtool' serve </dev/null >/dev/null 2>&1 "
              "&)");
    EXPECT_EQ(adminAppleScript(script),
              "do shell script \"(setsid '/Users/o'\\\\''neil/a \\\"b\\\" \\\\c/orvtool' serve "
              "</dev/null >/dev/null 2>&1 &)\" with administrator privileges");
}

// As root the launcher is /bin/sh itself (elsewhere it would show a password prompt).
TEST(PrivilegedLauncher, RootShellRunsTheScriptAndReportsItsStatus) {
    if (::geteuid() != 0) GTEST_SKIP() << "would show the administrator prompt";
    EXPECT_EQ(runAsAdministrator("exit 3"), 3);

    // A tool whose path could break out of the quotes: it runs with the single argument
    // "serve", in a session of its own, its standard streams on /dev/null, and nothing
    // else is executed.
    QTemporaryDir dir;
    const std::string folder = dir.filePath("it's \"odd\"; touch pwned; '").toStdString();
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    const std::string toolPath = folder + "/orvtool";
    const std::string report = dir.filePath("report").toStdString();
    std::ofstream(toolPath) << "#!/bin/sh\n"
                            << "session=$(cut -d' ' -f6 /proc/$$/stat)\n"
                            << "streams=\"$(readlink /proc/$$/fd/0) $(readlink /proc/$$/fd/1) "
                               "$(readlink /proc/$$/fd/2)\"\n"
                            << "echo \"$# $1 $(( session == $$ )) $streams\" > "
                            << shellQuote(report) << "\n";
    ::chmod(toolPath.c_str(), 0755);

    EXPECT_EQ(runAsAdministrator(daemonStartScript(toolPath)), 0);
    EXPECT_TRUE(waitForContent(report, "1 serve 1 /dev/null /dev/null /dev/null\n"))
        << readFile(report);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("pwned")));
    EXPECT_FALSE(QFileInfo::exists("pwned"));
}

// Which files root may run: the file and every directory above it belong to root or the
// user and only they can change them, except in root's sticky directories and directories
// only the administrators' group can write.
TEST(ToolTrust, OnlyFilesNoOtherUserCanChange) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
    QTemporaryDir dir;  // root's, 0700, in /tmp (root's, 1777)
    const std::string root = dir.path().toStdString();
    const auto at = [&](const std::string& name) { return root + "/" + name; };
    const auto makeDir = [&](const std::string& name, mode_t mode, uid_t owner = 0,
                             gid_t group = 0) {
        QDir().mkpath(QString::fromStdString(at(name)));
        (void)!::chown(at(name).c_str(), owner, group);
        ::chmod(at(name).c_str(), mode);
    };
    const auto refusedFor = [](const std::string& path, const std::string& why) {
        return "「" + path + "」" + why;
    };

    makeDir("bin", 0755);
    touch(at("bin/orvtool"));
    ToolTrust trust = checkToolTrust(at("bin/orvtool"), 1000);
    EXPECT_TRUE(trust.trusted) << trust.reason;
    EXPECT_EQ(trust.path, at("bin/orvtool"));

    // A link is judged, and run, by what it resolves to.
    makeDir("links", 0777);
    ASSERT_EQ(::symlink(at("bin/orvtool").c_str(), at("links/tool").c_str()), 0);
    trust = checkToolTrust(at("links/tool"), 1000);
    EXPECT_TRUE(trust.trusted) << trust.reason;
    EXPECT_EQ(trust.path, at("bin/orvtool"));

    // Planted by another user in a sticky directory: the file is that user's.
    makeDir("sticky", 01777);
    touch(at("sticky/orvtool"));
    ASSERT_EQ(::chown(at("sticky/orvtool").c_str(), 65534, 65534), 0);
    trust = checkToolTrust(at("sticky/orvtool"), 1000);
    EXPECT_FALSE(trust.trusted);
    EXPECT_EQ(trust.reason, refusedFor(at("sticky/orvtool"), "属于另一个用户（uid 65534）"));
    EXPECT_EQ(trust.path, at("sticky/orvtool"));
    // The same file is the user's own when that user runs the application.
    EXPECT_TRUE(checkToolTrust(at("sticky/orvtool"), 65534).trusted);
    // Root's file in root's sticky directory stays root's.
    ASSERT_EQ(::chown(at("sticky/orvtool").c_str(), 0, 0), 0);
    EXPECT_TRUE(checkToolTrust(at("sticky/orvtool"), 1000).trusted);

    // Writable by others: the file, or a directory above it.
    ::chmod(at("bin/orvtool").c_str(), 0757);
    EXPECT_EQ(checkToolTrust(at("bin/orvtool"), 1000).reason,
              refusedFor(at("bin/orvtool"), "可被其他用户修改"));
    ::chmod(at("bin/orvtool").c_str(), 0775);
    EXPECT_EQ(checkToolTrust(at("bin/orvtool"), 1000).reason,
              refusedFor(at("bin/orvtool"), "可被其他用户修改"));
    ::chmod(at("bin/orvtool").c_str(), 0755);
    makeDir("open/inner", 0755);
    ::chmod(at("open").c_str(), 0777);  // no sticky bit: anyone can rename "inner" away
    touch(at("open/inner/orvtool"));
    EXPECT_EQ(checkToolTrust(at("open/inner/orvtool"), 1000).reason,
              refusedFor(at("open"), "可被其他用户修改"));
    makeDir("group", 0775, 0, 100);
    touch(at("group/orvtool"));
    EXPECT_EQ(checkToolTrust(at("group/orvtool"), 1000).reason,
              refusedFor(at("group"), "可被其他用户修改"));
    ASSERT_EQ(::chown(at("group").c_str(), 0, 0), 0);  // only root's group may write
    EXPECT_TRUE(checkToolTrust(at("group/orvtool"), 1000).trusted);
    // A sticky directory that is not root's is its owner's to rearrange.
    makeDir("theirs", 01777, 65534, 65534);
    touch(at("theirs/orvtool"));
    EXPECT_EQ(checkToolTrust(at("theirs/orvtool"), 1000).reason,
              refusedFor(at("theirs"), "属于另一个用户（uid 65534）"));

    EXPECT_EQ(checkToolTrust(at("missing/orvtool"), 1000).reason,
              refusedFor(at("missing/orvtool"), "不存在"));
    EXPECT_EQ(checkToolTrust(at("bin"), 1000).reason, refusedFor(at("bin"), "不是普通文件"));
}

// The daemon's own address is asked first; the second one only when nobody listens at the
// first. A daemon that says it is busy is there: it is neither started again nor taken
// for alive.
TEST_F(DaemonClientTest, FallsBackOnlyWhenNobodyListensAndKnowsABusyDaemon) {
    touch(tool);
    DaemonClient::Options o = options();
    o.fallbackSocketPath = path("fallback.sock");
    const DaemonClient client(o);
    {
        FakeDaemon second(o.fallbackSocketPath, FakeDaemon::daemonLike);
        EXPECT_EQ(client.probe(), DaemonStatus::alive);
        EXPECT_EQ(client.exchange("auto").path, o.fallbackSocketPath);
        FakeDaemon first(o.socketPath, FakeDaemon::daemonLike);
        EXPECT_EQ(client.exchange("auto").path, o.socketPath);
        EXPECT_EQ(second.lines(), (std::vector<std::string>{"ping", "auto"}));
    }
    FakeDaemon busy(o.socketPath, [](const std::string&) {
        return FakeDaemon::Reply{{"ERR 控制服务繁忙：连接数已达上限，请稍后再试\n"}};
    });
    EXPECT_EQ(client.probe(), DaemonStatus::busy);
    EXPECT_FALSE(client.isAlive());
    EXPECT_EQ(starter(client).ensureRunning(), DaemonStatus::busy);
    EXPECT_TRUE(launcher->scripts().empty());
    EXPECT_EQ(*kicks, 0);
}
