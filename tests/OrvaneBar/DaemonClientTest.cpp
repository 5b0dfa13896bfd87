#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "AppPaths.h"
#include "DaemonClient.h"
#include "DaemonFakes.h"
#include "PrivilegedLauncher.h"

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

class DaemonClientTest : public ::testing::Test {
  protected:
    std::string socketPath() const { return dir.filePath("orvane.sock").toStdString(); }

    DaemonClient::Options options() const {
        DaemonClient::Options o;
        o.socketPath = socketPath();
        o.toolPath = [tool = tool] { return tool; };
        o.plistPath = dir.filePath("service.plist").toStdString();
        o.kickstart = [kicks = kicks] {
            ++*kicks;
            return true;
        };
        o.launcher = FakeLauncher::bind(launcher);
        o.probes = 3;
        o.pollInterval = 1ms;
        o.exchangeTimeout = 300ms;
        return o;
    }

    QTemporaryDir dir;
    std::string tool = dir.filePath("orvtool").toStdString();
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
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
        EXPECT_EQ(client.ensureRunning(), DaemonStatus::alive);
    }
    {
        // A daemon that takes connections but does not answer is not replaced.
        FakeDaemon daemon(socketPath(), [](const std::string&) {
            return FakeDaemon::Reply{{}, true};
        });
        EXPECT_EQ(client.ensureRunning(), DaemonStatus::unresponsive);
    }
    EXPECT_TRUE(launcher->scripts().empty());
    EXPECT_EQ(*kicks, 0);
}

TEST_F(DaemonClientTest, EnsureRunningWithoutTheToolStartsNothing) {
    std::ofstream(options().plistPath) << "<plist/>";  // even with the service installed
    EXPECT_EQ(DaemonClient(options()).ensureRunning(), DaemonStatus::down);
    EXPECT_TRUE(launcher->scripts().empty());
    EXPECT_EQ(*kicks, 0);
}

TEST_F(DaemonClientTest, LauncherThatCannotStartEndsTheAttempt) {
    touch(tool);
    launcher->status = std::nullopt;
    EXPECT_EQ(DaemonClient(options()).ensureRunning(), DaemonStatus::down);
    EXPECT_EQ(launcher->scripts().size(), 1u);
    EXPECT_EQ(*kicks, 0);
}

TEST_F(DaemonClientTest, ConcurrentAttemptsDoNotStartASecondDaemon) {
    touch(tool);
    std::unique_ptr<FakeDaemon> started;
    launcher->action = [&] {
        started = std::make_unique<FakeDaemon>(socketPath(), FakeDaemon::daemonLike);
    };
    const DaemonClient client(options());
    QObject context;
    std::vector<DaemonStatus> results;
    for (int i = 0; i < 2; ++i)
        client.ensureRunningAsync(&context, [&](DaemonStatus s) { results.push_back(s); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return results.size() == 2; }, 10000));
    EXPECT_EQ(results, (std::vector<DaemonStatus>{DaemonStatus::alive, DaemonStatus::alive}));
    // The second attempt waited for the first and found its daemon.
    EXPECT_EQ(launcher->scripts().size(), 1u);
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
    const std::string script = daemonStartScript("/Applications/orvtool", "/tmp/orvane-daemon.log");
    EXPECT_EQ(script, "('/Applications/orvtool' serve >'/tmp/orvane-daemon.log' 2>&1 &)");
    EXPECT_EQ(adminAppleScript(script),
              "do shell script \"('/Applications/orvtool' serve >'/tmp/orvane-daemon.log' 2>&1 "
              "&)\" with administrator privileges");
}

TEST(PrivilegedLauncher, QuotesAreEscapedForShellAndAppleScript) {
    const std::string path = "/Users/o'neil/a \"b\" \\c/orvtool";
    const std::string script = daemonStartScript(path, "/tmp/orvane-daemon.log");
    EXPECT_EQ(script,
              "('/Users/o'\\''neil/a \"b\" \\c/orvtool' serve >'/tmp/orvane-daemon.log' 2>&1 &)");
    EXPECT_EQ(adminAppleScript(script),
              "do shell script \"('/Users/o'\\\\''neil/a \\\"b\\\" \\\\c/orvtool' serve "
              ">'/tmp/orvane-daemon.log' 2>&1 &)\" with administrator privileges");
}

// As root the launcher is /bin/sh itself (elsewhere it would show a password prompt).
TEST(PrivilegedLauncher, RootShellRunsTheScriptAndReportsItsStatus) {
    if (::geteuid() != 0) GTEST_SKIP() << "would show the administrator prompt";
    EXPECT_EQ(runAsAdministrator("exit 3"), 3);

    // A tool whose path could break out of the quotes: it runs with the single argument
    // "serve", its output lands in the log, and nothing else is executed.
    QTemporaryDir dir;
    const std::string folder = dir.filePath("it's \"odd\"; touch pwned; '").toStdString();
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    const std::string toolPath = folder + "/orvtool";
    std::ofstream(toolPath) << "#!/bin/sh\necho \"$# $1\"\necho err >&2\n";
    ::chmod(toolPath.c_str(), 0755);
    const std::string log = dir.filePath("daemon's.log").toStdString();
    std::ofstream(log) << "old content\n";  // truncated by the start

    EXPECT_EQ(runAsAdministrator(daemonStartScript(toolPath, log)), 0);
    EXPECT_TRUE(waitForContent(log, "1 serve\nerr\n")) << readFile(log);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("pwned")));
    EXPECT_FALSE(QFileInfo::exists("pwned"));
}
