// Attacks of another local user (uid 65534) on what the application trusts and on what it
// has root run: a listener impersonating the control daemon, a planted orvtool beside the
// application, planted links in the temporary directory the installer stages its files
// in, and planted objects at the old daemon log path. Each attack is shown to fail.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Alerts.h"
#include "AppDelegate.h"
#include "AppPaths.h"
#include "ControlProtocol.h"
#include "DaemonFakes.h"
#include "Emulator.h"
#include "Files.h"
#include "LaunchDaemonManager.h"
#include "ManualQueue.h"
#include "PrivateTmp.h"
#include "Process.h"
#include "SocketClient.h"
#include "Texts.h"

namespace {

using namespace std::chrono_literals;

constexpr uid_t kNobody = ForeignListener::kUid;

// Runs a shell script in this mount namespace (as uid 65534 unless told otherwise); its exit
// status, or -1.
int runShell(const std::string& script, uid_t uid = kNobody) {
    ProcessOptions options;
    options.uid = uid;
    options.capture = false;
    return Process::start({"/bin/sh", "-c", script}, options).finish(std::chrono::minutes(1));
}

// A directory like /tmp: root's, mode 1777, under the machine's /tmp.
class StickyDir {
  public:
    StickyDir() {
        char name[] = "/tmp/orvane-attack-XXXXXX";
        if (::mkdtemp(name) != nullptr && ::chmod(name, 01777) == 0) path_ = name;
    }
    ~StickyDir() {
        if (!path_.empty()) QDir(QString::fromStdString(path_)).removeRecursively();
    }
    const std::string& path() const { return path_; }
    std::string at(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string statLine(pid_t pid) {
    return readFile("/proc/" + std::to_string(pid) + "/stat");
}

// The session of a process: field 6 of its stat line (the name in field 2 is in brackets).
long sessionOf(pid_t pid) {
    const std::string line = statLine(pid);
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) return -1;
    long ppid = 0, group = 0, session = -1;
    char code = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %ld %ld %ld", &code, &ppid, &group, &session) !=
        4)
        return -1;
    return session;
}

// The process listening at a socket, as the kernel reports it to a client.
pid_t listenerPid(const std::string& path) {
    const SocketClient client(path);
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (!client.connected() ||
        ::getsockopt(client.fd(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return -1;
    return credentials.pid;
}

class AppAttackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the attacker is another user: needs root";
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        setAlertPresenter(
            [this](AlertStyle style, const std::string& title, const std::string& message) {
                alerts.push_back({style, title, message});
            });
    }
    void TearDown() override { setAlertPresenter(printAlertToStderr); }

    std::unique_ptr<AppDelegate> makeApp(DaemonSetup daemon,
                                         LaunchDaemonManager::Options service = {}) {
        AppDelegate::Seams seams;
        seams.controller.recordPath = dir.filePath("fan-minimums").toStdString();
        if (service.plistPath.empty())
            service.plistPath = dir.filePath("service.plist").toStdString();
        seams.launchDaemon = std::move(service);
        seams.queue = &queue;
        seams.showStatusItem = false;
        daemon.starter.probes = 200;
        daemon.starter.pollInterval = 25ms;
        seams.daemon = std::move(daemon.client);
        seams.starter = std::move(daemon.starter);
        seams.terminate = [this] { ++terminated; };
        seams.quitWaitLimit = quitWaitLimit;
        seams.loginItem.home = dir.path().toStdString();
        seams.loginItem.service = std::shared_ptr<LoginItemService>();
        return std::make_unique<AppDelegate>(seams);
    }

    bool waitForAlerts(std::size_t count) {
        return QTest::qWaitFor([&] { return alerts.size() >= count; }, 15000);
    }

    QTemporaryDir dir;
    ManualQueue queue;
    std::vector<Alert> alerts;
    int terminated = 0;
    std::chrono::milliseconds quitWaitLimit = 1500ms;
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
};

// The real daemon, as root, in a private /tmp and /var/log, on the emulator.
class AppAttackRealDaemon : public AppAttackTest {
  protected:
    void SetUp() override {
        AppAttackTest::SetUp();
        if (IsSkipped()) return;
        tmp = std::make_unique<PrivateTmp>();
        ASSERT_TRUE(tmp->ok()) << tmp->error();
    }
    DaemonSetup options() const {
        DaemonSetup o;
        o.client.socketPath = tmp->path("/run/orvane/orvane.sock");
        o.client.fallbackSocketPath = tmp->path("/tmp/orvane.sock");
        o.starter.toolPath = [] { return std::string(ORVTOOL_BINARY); };
        o.starter.plistPath = dir.filePath("service.plist").toStdString();
        o.starter.kickstart = [] { return false; };
        o.starter.launcher = FakeLauncher::bind(launcher);
        return o;
    }
    std::string mountNamespace() const {
        std::string root = tmp->path("");  // /proc/<holder>/root
        return root.substr(0, root.size() - 4) + "ns/mnt";
    }

    std::unique_ptr<PrivateTmp> tmp;
};

}  // namespace

// Another user cannot stop the daemon (`quit` is its owner's), but may listen at the /tmp
// address once the daemon is gone, answering "OK" to everything. The application, finding
// nobody at the daemon's own address, sends that listener nothing, reports it, starts
// nothing over it, and Quit warns at once that the fans were not handed back: waiting
// would not change who listens there.
TEST_F(AppAttackRealDaemon, ImpersonatingTheDaemonGetsNothing) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    ProcessOptions inside;
    inside.namespaceFd = tmp->namespaceFd();
    inside.capture = false;
    Process daemon = Process::start({ORVTOOL_BINARY, "serve"}, inside);
    ASSERT_TRUE(tmp->waitForSocket(protocol::kSocketPath, daemon.pid()));
    daemon.terminate();
    ASSERT_TRUE(daemon.waitFor());

    ForeignListener impostor("/tmp/orvane.sock", mountNamespace());
    ASSERT_TRUE(impostor.ok());
    quitWaitLimit = 20s;
    auto app = makeApp(options());
    app->sliderChanged(0, 5700);
    const std::string socket = tmp->path(protocol::kFallbackSocketPath);
    const std::string takenBy =
        socket + Texts::foreignOwnerPrefix + std::to_string(kNobody) + Texts::foreignOwnerSuffix;
    const Alert foreign = {
        AlertStyle::warning, Texts::foreignListenerTitle,
        takenBy + Texts::foreignCommandPrefix + "set 0 5700" + Texts::foreignCommandSuffix};
    EXPECT_EQ(alerts, std::vector<Alert>{foreign});
    EXPECT_EQ(emu.value("F0Md"), hexBytes("00"));

    emu.control("set F0Md 01");  // left forced
    const auto quitStart = std::chrono::steady_clock::now();
    app->quitApp();
    EXPECT_LT(std::chrono::steady_clock::now() - quitStart, quitWaitLimit / 2);
    EXPECT_EQ(terminated, 1);
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[1].title, Texts::quitFailedTitle);
    EXPECT_EQ(alerts[1].message, takenBy + Texts::quitManualPrefix + "'" +
                                     checkToolTrust(ORVTOOL_BINARY).path + "'" +
                                     Texts::quitManualSuffix);
    EXPECT_TRUE(launcher->scripts().empty());
    std::this_thread::sleep_for(400ms);  // past the impostor's wait for a request
    EXPECT_EQ(impostor.received(), "");
}

// The privileged start opens nothing under /tmp: whatever another user plants at the old
// log path (a link to a root file, a FIFO, a directory) is left alone, the start does not
// wait on it, and the daemon runs in a session of its own, out of reach of the terminal's
// hang-up.
TEST_F(AppAttackRealDaemon, PlantedLogPathIsNotTouchedAndTheDaemonIsDetached) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    DaemonSetup o = options();
    PrivateTmp* inside = tmp.get();
    o.starter.launcher = [inside](const std::string& script) -> std::optional<int> {
        return inside->run({"/bin/sh", "-c", script});
    };
    auto app = makeApp(o);
    std::ofstream(tmp->path("/tmp/precious")) << "root's data\n";

    const char* plants[] = {"ln -s /tmp/precious /tmp/orvane-daemon.log",
                            "mkfifo /tmp/orvane-daemon.log", "mkdir /tmp/orvane-daemon.log"};
    for (const char* plant : plants) {
        SCOPED_TRACE(plant);
        ASSERT_EQ(tmp->run({"/bin/sh", "-c", plant}, "", kNobody), 0);
        struct stat before;
        ASSERT_EQ(::lstat(tmp->path("/tmp/orvane-daemon.log").c_str(), &before), 0);

        emu.control("set F0Md 00");
        app->sliderChanged(0, 3000);
        ASSERT_TRUE(QTest::qWaitFor([&] { return emu.value("F0Md") == hexBytes("01"); }, 15000));
        EXPECT_TRUE(alerts.empty());
        EXPECT_EQ(tmp->read("/tmp/precious"), "root's data\n");
        struct stat after;
        ASSERT_EQ(::lstat(tmp->path("/tmp/orvane-daemon.log").c_str(), &after), 0);
        EXPECT_EQ(after.st_uid, kNobody);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mtime, before.st_mtime);

        const pid_t daemon = listenerPid(o.client.socketPath);
        ASSERT_GT(daemon, 0);
        EXPECT_EQ(sessionOf(daemon), daemon) << statLine(daemon);

        EXPECT_EQ(app->daemon.send(std::string(protocol::kQuit)), protocol::kReplyBye);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !app->daemon.isAlive(); }, 10000));
        ASSERT_EQ(tmp->run({"/bin/sh", "-c", "rm -rf /tmp/orvane-daemon.log"}, "", kNobody), 0);
    }
}

// With no tool beside the application, candidate B of an application built under
// /tmp/u/build/bin is /tmp/orvtool, which anyone can plant. It is never run as root, the
// alert names it and why, installing refuses it without a prompt, and no hint tells the
// user to run it with sudo.
TEST_F(AppAttackTest, PlantedToolIsNeverRunAsRoot) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    StickyDir tmpLike;  // stands for /tmp
    ASSERT_FALSE(tmpLike.path().empty());
    const std::string exe = tmpLike.at("u/build/bin/OrvaneBar");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(tmpLike.at("u/build/bin"))));
    std::ofstream(exe) << "app\n";
    ASSERT_EQ(runShell("printf '#!/bin/sh\\nid > /tmp/pwned\\n' > '" + tmpLike.at("orvtool") +
                       "' && chmod 755 '" + tmpLike.at("orvtool") + "'"),
              0);
    const std::string planted = tmpLike.at("orvtool");
    ASSERT_EQ(AppPaths::orvtoolPathFor(exe), planted);

    DaemonSetup o;
    o.client.socketPath = dir.filePath("orvane.sock").toStdString();  // nobody listens
    o.starter.toolPath = [exe] { return AppPaths::orvtoolPathFor(exe); };
    o.starter.launcher = FakeLauncher::bind(launcher);
    o.starter.kickstart = [] { return false; };
    LaunchDaemonManager::Options service;
    service.toolPath = o.starter.toolPath;
    service.launcher = FakeLauncher::bind(launcher);
    service.tempDir = dir.path().toStdString();
    auto app = makeApp(o, service);

    const std::string refusal = Texts::toolRefusedPrefix + ("'" + planted + "'") +
                                Texts::toolRefusedSeparator + Texts::trustNamePrefix + planted +
                                Texts::trustNameSuffix + Texts::trustOwnedPrefix +
                                std::to_string(kNobody) + Texts::trustOwnedSuffix + "\n";
    app->sliderChanged(0, 3000);
    ASSERT_TRUE(waitForAlerts(1));
    EXPECT_EQ(alerts.back(), (Alert{AlertStyle::warning, Texts::toolUntrustedTitle,
                                    refusal + Texts::toolUntrustedAdvice}));

    bool installed = true;
    bool done = false;
    app->launchDaemon.install([&](bool ok) {
        installed = ok;
        done = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 10000));
    EXPECT_FALSE(installed);

    emu.control("set F0Md 01");
    app->quitApp();
    EXPECT_EQ(terminated, 1);
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts.back(), (Alert{AlertStyle::warning, Texts::quitFailedTitle,
                                    Texts::quitNotStarted + refusal}));
    for (const Alert& alert : alerts)
        EXPECT_EQ(alert.message.find("sudo"), std::string::npos) << alert;
    EXPECT_TRUE(launcher->scripts().empty());
}

// Another user plants links at the installer's old fixed temporary names, pointing into a
// directory of theirs, and tries to change what is staged while the administrator prompt
// is up. Root installs exactly the application's texts, by the real script.
TEST_F(AppAttackTest, PlantedTemporaryFilesDoNotReachRoot) {
    StickyDir tmpLike;  // the user's temporary directory, as /tmp
    ASSERT_FALSE(tmpLike.path().empty());
    const std::string evil = tmpLike.at("evil");
    ASSERT_EQ(runShell("mkdir -m 777 '" + evil + "' && cd '" + tmpLike.path() +
                       "' && ln -s evil/plist com.orvane.orvtool.plist && "
                       "ln -s evil/unit com.orvane.orvtool.service"),
              0);
    const std::string system = dir.filePath("system").toStdString();
    const std::string tool = dir.filePath("bin/orvtool").toStdString();
    QDir().mkpath(dir.filePath("bin"));
    std::ofstream(tool) << "#!/bin/sh\n";
    ::chmod(tool.c_str(), 0755);

    LaunchDaemonManager::Options service;
    service.kind = ServiceManagerKind::systemd;
    service.plistPath = system + "/LaunchDaemons/com.orvane.orvtool.plist";
    service.installBinPath = system + "/PrivilegedHelperTools/com.orvane.orvtool";
    service.unitPath = system + "/systemd/com.orvane.orvtool.service";
    service.logPath = system + "/log/orvane/daemon.log";
    service.systemctl = "/bin/true";
    service.tempDir = tmpLike.path();
    service.toolPath = [tool] { return tool; };
    // While the prompt would be up, the attacker writes to every file it can find there,
    // and tries to swap the staging directory; then root runs the script.
    int attackerWrites = -1;
    service.launcher = [&](const std::string& script) -> std::optional<int> {
        attackerWrites =
            runShell("n=0; cd '" + tmpLike.path() +
                     "' || exit 99; "
                     "echo evil > evil/plist; echo evil > evil/unit; "
                     "for d in com.orvane.orvtool.*; do [ -L \"$d\" ] && continue; "
                     "for f in \"$d\"/*; do echo evil 2>/dev/null > \"$f\" && n=$((n+1)); done; "
                     "mv \"$d\" stolen 2>/dev/null && n=$((n+1)); "
                     "mkdir \"$d.x\" 2>/dev/null; done; exit $n");
        return runShell(script, 0);
    };
    const LaunchDaemonManager manager(service);
    bool installed = false;
    bool done = false;
    manager.install([&](bool ok) {
        installed = ok;
        done = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 15000));
    EXPECT_EQ(attackerWrites, 0);
    EXPECT_TRUE(installed);
    EXPECT_EQ(readFile(service.plistPath), manager.servicePropertyList());
    EXPECT_EQ(readFile(service.unitPath), manager.unitText());
    EXPECT_EQ(readFile(service.installBinPath), "#!/bin/sh\n");
    // The attacker's files are theirs alone; the staging directory is gone.
    EXPECT_EQ(readFile(evil + "/plist"), "evil\n");
    EXPECT_EQ(readFile(evil + "/unit"), "evil\n");
    const QStringList left = QDir(QString::fromStdString(tmpLike.path()))
                                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    for (const QString& name : left) {
        if (name.endsWith(".x")) continue;  // the attacker's own directories
        EXPECT_TRUE(name == "evil" || name == "com.orvane.orvtool.plist" ||
                    name == "com.orvane.orvtool.service")
            << name.toStdString();
    }
}
