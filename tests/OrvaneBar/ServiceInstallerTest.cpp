// The control service installer: its property list, unit and scripts, the menu entry's
// confirmation, working state and result alerts, installing and removing for real as root
// in a private /tmp with a recording stand-in for systemctl, and the write path restarting
// an installed service instead of prompting.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QXmlStreamReader>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>

#include "AppFixture.h"
#include "ControlProtocol.h"
#include "Files.h"
#include "LaunchDaemonManager.h"
#include "Paths.h"
#include "PrivateTmp.h"
#include "Texts.h"

using namespace std::chrono_literals;

namespace {

const Alert kInstalled = {AlertStyle::informational, Texts::installSucceededTitle,
                          Texts::installSucceededMessage};
const Alert kInstallFailed = {AlertStyle::warning, Texts::installFailedTitle,
                              Texts::installFailedMessage};
const Alert kUninstalled = {AlertStyle::informational, Texts::uninstallSucceededTitle,
                            Texts::uninstallSucceededMessage};
const Alert kUninstallFailed = {AlertStyle::warning, Texts::uninstallFailedTitle,
                                Texts::uninstallFailedMessage};

const std::string kInstallTitle = Texts::installService;
const std::string kUninstallTitle = Texts::uninstallService;

constexpr auto exists = &Files::fileExists;

unsigned mode(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// The text of every <string> element, in order.
std::vector<std::string> plistStrings(const std::string& xml) {
    std::vector<std::string> strings;
    QXmlStreamReader reader(QByteArray::fromStdString(xml));
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement && reader.name() == u"string")
            strings.push_back(reader.readElementText().toStdString());
    }
    if (reader.hasError()) strings.push_back("XML error: " + reader.errorString().toStdString());
    return strings;
}

// A stand-in for systemctl: appends its arguments as one line to `log`, and fails a
// restart (with or without options before it) while the file `failRestart` exists.
void writeStandIn(const std::string& path, const std::string& log, const std::string& failRestart) {
    QDir().mkpath(QString::fromStdString(path.substr(0, path.rfind('/'))));
    std::ofstream(path) << "#!/bin/sh\n"
                        << "echo \"$*\" >> " << shellQuote(log) << "\n"
                        << "case \" $* \" in *' restart '*) [ -e " << shellQuote(failRestart)
                        << " ] && exit 3;; esac\nexit 0\n";
    ::chmod(path.c_str(), 0755);
}

}  // namespace

TEST(ServiceTexts, PropertyListIsByteExact) {
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n"
        "<dict>\n"
        "    <key>Label</key>\n"
        "    <string>com.orvane.orvtool</string>\n"
        "    <key>ProgramArguments</key>\n"
        "    <array>\n"
        "        <string>/Library/PrivilegedHelperTools/com.orvane.orvtool</string>\n"
        "        <string>serve</string>\n"
        "    </array>\n"
        "    <key>RunAtLoad</key>\n"
        "    <true/>\n"
        "    <key>KeepAlive</key>\n"
        "    <true/>\n"
        "    <key>StandardErrorPath</key>\n"
        "    <string>/var/log/orvane/daemon.log</string>\n"
        "    <key>StandardOutPath</key>\n"
        "    <string>/var/log/orvane/daemon.log</string>\n"
        "</dict>\n"
        "</plist>";
    LaunchDaemonManager::Options byRoot;
    byRoot.ownerUid = 0;
    EXPECT_EQ(LaunchDaemonManager(byRoot).servicePropertyList(), expected);
    // Installed by a user, the service names them as its owner.
    LaunchDaemonManager::Options byUser;
    byUser.ownerUid = 501;
    const std::string owned = LaunchDaemonManager(byUser).servicePropertyList();
    const std::string owner = paths::kOwnerUidEnv;
    EXPECT_NE(owned.find("    <key>EnvironmentVariables</key>\n    <dict>\n        <key>" + owner +
                         "</key>\n        <string>501</string>\n"
                         "    </dict>\n    <key>StandardErrorPath</key>"),
              std::string::npos)
        << owned;
    EXPECT_NE(LaunchDaemonManager(byUser).unitText().find(" auto\nEnvironment=" + owner +
                                                          "=501\nRestart=always\n"),
              std::string::npos);

    // Characters XML gives a meaning to stay text of the one string element.
    LaunchDaemonManager::Options options;
    options.installBinPath = "/opt/Tom & Jerry's <tools>/\"orvtool\"";
    const std::string odd = LaunchDaemonManager(options).servicePropertyList();
    EXPECT_NE(odd.find("<string>/opt/Tom &amp; Jerry&apos;s &lt;tools&gt;/&quot;orvtool&quot;"
                       "</string>"),
              std::string::npos);
    EXPECT_EQ(plistStrings(odd), (std::vector<std::string>{
                                     "com.orvane.orvtool", options.installBinPath, "serve",
                                     "/var/log/orvane/daemon.log", "/var/log/orvane/daemon.log"}));
}

TEST(ServiceTexts, LaunchdScripts) {
    LaunchDaemonManager::Options options;
    options.kind = ServiceManagerKind::launchd;
    options.tempDir = "/private/var/folders/x/T/";
    options.logPath = "/Library/Logs/Orvane/daemon.log";
    const LaunchDaemonManager manager(options);
    // Nothing is copied unless the staged files are plain files in a plain directory, and
    // each copy is compared with its source; any failure ends the script with status 1.
    const std::string staging = "/private/var/folders/x/T/com.orvane.orvtool.Ab12Cd";
    EXPECT_EQ(
        adminAppleScript(manager.installScript("/Applications/Orvane/orvtool", staging)),
        "do shell script \"[ -d '/private/var/folders/x/T/com.orvane.orvtool.Ab12Cd' ] && [ ! "
        "-L '/private/var/folders/x/T/com.orvane.orvtool.Ab12Cd' ] && [ -f "
        "'/Applications/Orvane/orvtool' ] && [ ! -L '/Applications/Orvane/orvtool' ] && [ -f "
        "'/private/var/folders/x/T/com.orvane.orvtool.Ab12Cd/com.orvane.orvtool.plist' ] && "
        "[ ! -L '/private/var/folders/x/T/com.orvane.orvtool.Ab12Cd/com.orvane.orvtool.plist' "
        "] && mkdir -p '/Library/PrivilegedHelperTools' '/Library/LaunchDaemons' "
        "'/Library/Logs/Orvane' && cp '/Applications/Orvane/orvtool' "
        "'/Library/PrivilegedHelperTools/com.orvane.orvtool' && cmp -s "
        "'/Applications/Orvane/orvtool' '/Library/PrivilegedHelperTools/com.orvane.orvtool' "
        "&& chmod 755 '/Library/PrivilegedHelperTools/com.orvane.orvtool' && cp "
        "'/private/var/folders/x/T/com.orvane.orvtool.Ab12Cd/com.orvane.orvtool.plist' "
        "'/Library/LaunchDaemons/com.orvane.orvtool.plist' && cmp -s "
        "'/private/var/folders/x/T/com.orvane.orvtool.Ab12Cd/com.orvane.orvtool.plist' "
        "'/Library/LaunchDaemons/com.orvane.orvtool.plist' && chmod 644 "
        "'/Library/LaunchDaemons/com.orvane.orvtool.plist' || exit 1; launchctl bootstrap "
        "system '/Library/LaunchDaemons/com.orvane.orvtool.plist' 2>/dev/null; launchctl "
        "enable system/com.orvane.orvtool; launchctl kickstart -k system/com.orvane.orvtool\" "
        "with administrator privileges");
    EXPECT_EQ(adminAppleScript(manager.uninstallScript()),
              "do shell script \"launchctl bootout system/com.orvane.orvtool 2>/dev/null; rm -f "
              "'/Library/LaunchDaemons/com.orvane.orvtool.plist' "
              "'/Library/PrivilegedHelperTools/com.orvane.orvtool'\" with administrator "
              "privileges");
    EXPECT_EQ(manager.kickstartCommand(),
              (std::vector<std::string>{"/bin/launchctl", "kickstart", "-k",
                                        "system/com.orvane.orvtool"}));
    EXPECT_NE(
        manager.servicePropertyList().find("<string>/Library/Logs/Orvane/daemon.log</string>"),
        std::string::npos);

    // An apostrophe in the tool path is closed, escaped and reopened for the shell, and
    // the escape's backslash doubled for the AppleScript string.
    EXPECT_NE(adminAppleScript(manager.installScript("/Users/o'brien/orvtool", staging))
                  .find("[ -f '/Users/o'\\\\''brien/orvtool' ]"),
              std::string::npos);
}

TEST(ServiceTexts, SystemdScriptsAndUnit) {
    LaunchDaemonManager::Options options;
    options.ownerUid = 0;  // installed by root: no owner entry
    options.kind = ServiceManagerKind::systemd;
    options.tempDir = "/tmp";
    const LaunchDaemonManager manager(options);
    EXPECT_EQ(manager.installScript("/opt/orvane/bin/orvtool", "/tmp/com.orvane.orvtool.Ab12Cd"),
              "[ -d '/tmp/com.orvane.orvtool.Ab12Cd' ] && [ ! -L '/tmp/com.orvane.orvtool.Ab12Cd' "
              "] && [ -f '/opt/orvane/bin/orvtool' ] && [ ! -L '/opt/orvane/bin/orvtool' ] && [ -f "
              "'/tmp/com.orvane.orvtool.Ab12Cd/com.orvane.orvtool.plist' ] && [ ! -L "
              "'/tmp/com.orvane.orvtool.Ab12Cd/com.orvane.orvtool.plist' ] && [ -f "
              "'/tmp/com.orvane.orvtool.Ab12Cd/com.orvane.orvtool.service' ] && [ ! -L "
              "'/tmp/com.orvane.orvtool.Ab12Cd/com.orvane.orvtool.service' ] && mkdir -p "
              "'/Library/PrivilegedHelperTools' '/Library/LaunchDaemons' '/etc/systemd/system' "
              "'/var/log/orvane' && cp '/opt/orvane/bin/orvtool' "
              "'/Library/PrivilegedHelperTools/com.orvane.orvtool' && cmp -s "
              "'/opt/orvane/bin/orvtool' '/Library/PrivilegedHelperTools/com.orvane.orvtool' && "
              "chmod 755 '/Library/PrivilegedHelperTools/com.orvane.orvtool' && cp "
              "'/tmp/com.orvane.orvtool.Ab12Cd/com.orvane.orvtool.plist' "
              "'/Library/LaunchDaemons/com.orvane.orvtool.plist' && cmp -s "
              "'/tmp/com.orvane.orvtool.Ab12Cd/com.orvane.orvtool.plist' "
              "'/Library/LaunchDaemons/com.orvane.orvtool.plist' && chmod 644 "
              "'/Library/LaunchDaemons/com.orvane.orvtool.plist' && cp "
              "'/tmp/com.orvane.orvtool.Ab12Cd/com.orvane.orvtool.service' "
              "'/etc/systemd/system/com.orvane.orvtool.service' && cmp -s "
              "'/tmp/com.orvane.orvtool.Ab12Cd/com.orvane.orvtool.service' "
              "'/etc/systemd/system/com.orvane.orvtool.service' && chmod 644 "
              "'/etc/systemd/system/com.orvane.orvtool.service' || exit 1; systemctl "
              "daemon-reload 2>/dev/null; systemctl enable com.orvane.orvtool.service; systemctl "
              "restart com.orvane.orvtool.service");
    EXPECT_EQ(manager.uninstallScript(),
              "systemctl disable --now com.orvane.orvtool.service 2>/dev/null; rm -f "
              "'/Library/LaunchDaemons/com.orvane.orvtool.plist' "
              "'/Library/PrivilegedHelperTools/com.orvane.orvtool' "
              "'/etc/systemd/system/com.orvane.orvtool.service' && (systemctl daemon-reload "
              "2>/dev/null || :)");
    // The application writes the packaged unit, only with its own copy of the tool.
    const std::string shipped =
        readFile(std::string(ORVANE_SOURCE_DIR) + "/packaging/com.orvane.orvtool.service");
    ASSERT_NE(shipped.find("\nExecStart=/usr/bin/orvtool serve\n"), std::string::npos);
    LaunchDaemonManager::Options packaged = options;
    packaged.installBinPath = "/usr/bin/orvtool";
    EXPECT_EQ(LaunchDaemonManager(packaged).unitText(), shipped);
    std::string own = shipped;
    for (const char* word : {"ExecStart=", "ExecStopPost="}) {
        const std::string line = std::string("\n") + word;
        own.replace(own.find(line + "/usr/bin/orvtool "), line.size() + 16,
                    line + LaunchDaemonManager::defaultInstallBinPath);
    }
    EXPECT_EQ(manager.unitText(), own);

    // The unit's command line keeps an odd path one word and takes no specifier from it.
    options.installBinPath = "/srv/my tools/100%\"x\"";
    EXPECT_NE(LaunchDaemonManager(options).unitText().find(
                  "ExecStart=\"/srv/my tools/100%%\\\"x\\\"\" serve\n"),
              std::string::npos);
}

TEST(ServiceTexts, KickstartAsTheUserElseAsRoot) {
    QTemporaryDir dir;
    for (const ServiceManagerKind kind :
         {ServiceManagerKind::launchd, ServiceManagerKind::systemd}) {
        const bool launchd = kind == ServiceManagerKind::launchd;
        SCOPED_TRACE(launchd ? "launchd" : "systemd");
        auto launcher = std::make_shared<FakeLauncher>();
        std::vector<std::vector<std::string>> ran;
        std::optional<int> asUser = 0;
        LaunchDaemonManager::Options options;
        options.kind = kind;
        options.plistPath = dir.filePath("service.plist").toStdString();
        options.systemctl = "/opt/it's/systemctl";
        options.launcher = FakeLauncher::bind(launcher);
        options.run = [&](const std::vector<std::string>& args) {
            ran.push_back(args);
            return asUser;
        };
        const LaunchDaemonManager manager(options);
        const std::vector<std::string> command =
            launchd ? std::vector<std::string>{"/bin/launchctl", "kickstart", "-k",
                                               "system/com.orvane.orvtool"}
                    : std::vector<std::string>{"/opt/it's/systemctl", "--no-ask-password",
                                               "restart", "com.orvane.orvtool.service"};
        // Every word quoted, the apostrophe closed, escaped and reopened.
        const std::string asRoot =
            launchd ? "'/bin/launchctl' 'kickstart' '-k' 'system/com.orvane.orvtool'"
                    : "'/opt/it'\\''s/systemctl' '--no-ask-password' 'restart' "
                      "'com.orvane.orvtool.service'";
        EXPECT_EQ(manager.kickstartCommand(), command);
        EXPECT_EQ(manager.kickstartScript(), asRoot);

        // Not installed: nothing runs.
        EXPECT_FALSE(manager.kickstartIfInstalled());
        EXPECT_TRUE(ran.empty());

        // The user may restart it: no prompt.
        std::ofstream(options.plistPath) << "<plist/>";
        EXPECT_TRUE(manager.kickstartIfInstalled());
        EXPECT_EQ(ran, std::vector<std::vector<std::string>>{command});
        EXPECT_TRUE(launcher->scripts().empty());

        // Refused, or not run at all: the same restart as root, its status the result.
        asUser = 1;
        launcher->status = 0;
        EXPECT_TRUE(manager.kickstartIfInstalled());
        asUser = std::nullopt;
        launcher->status = 1;  // the prompt cancelled
        EXPECT_FALSE(manager.kickstartIfInstalled());
        launcher->status = std::nullopt;  // no prompt at all
        EXPECT_FALSE(manager.kickstartIfInstalled());
        EXPECT_EQ(ran.size(), 4u);
        EXPECT_EQ(launcher->scripts(), std::vector<std::string>(3, asRoot));
        ::unlink(options.plistPath.c_str());
    }
}

TEST(ServiceTexts, KickstartJudgesTheRestartCommandsExitStatus) {
    QTemporaryDir dir;
    const std::string log = dir.filePath("systemctl.log").toStdString();
    auto launcher = std::make_shared<FakeLauncher>();
    launcher->status = 0;
    LaunchDaemonManager::Options options;
    options.kind = ServiceManagerKind::systemd;
    options.plistPath = dir.filePath("service.plist").toStdString();
    options.systemctl = dir.filePath("bin/systemctl").toStdString();
    options.launcher = FakeLauncher::bind(launcher);
    writeStandIn(options.systemctl, log, dir.filePath("fail").toStdString());
    std::ofstream(options.plistPath) << "<plist/>";
    const LaunchDaemonManager manager(options);

    EXPECT_TRUE(manager.kickstartIfInstalled());
    EXPECT_TRUE(launcher->scripts().empty());
    std::ofstream(dir.filePath("fail").toStdString()) << "";  // now the restart exits 3
    EXPECT_TRUE(manager.kickstartIfInstalled());
    EXPECT_EQ(launcher->scripts(), std::vector<std::string>{manager.kickstartScript()});
    EXPECT_EQ(readFile(log),
              "--no-ask-password restart com.orvane.orvtool.service\n"
              "--no-ask-password restart com.orvane.orvtool.service\n");
}

class ServiceEntryTest : public AppFixture {
  protected:
    static bool sentWrite(const FakeDaemon& fake) {
        const std::vector<std::string> commands = fake.commands();
        return std::find(commands.begin(), commands.end(), "set 1 4000") != commands.end();
    }
    // The daemon just started got the write once, after the application's lease.
    static bool leaseBeforeWrite(const std::vector<std::string>& commands) {
        return !commands.empty() && commands.front() == protocol::kHold &&
               std::count(commands.begin(), commands.end(), "set 1 4000") == 1 &&
               commands.back() == "set 1 4000";
    }

    void SetUp() override {
        AppFixture::SetUp();
        QDir().mkpath(dir.filePath("tmp"));
        QDir().mkpath(dir.filePath("LaunchDaemons"));
    }

    // The service's files in the test's folder.
    virtual LaunchDaemonManager::Options serviceOptions() {
        LaunchDaemonManager::Options o;
        o.plistPath = path("LaunchDaemons/com.orvane.orvtool.plist");
        o.installBinPath = path("Helpers/com.orvane.orvtool");
        o.unitPath = path("units/com.orvane.orvtool.service");
        o.systemctl = path("bin/systemctl");
        o.tempDir = path("tmp");
        o.toolPath = [tool = toolPath()] { return tool; };
        o.launcher = FakeLauncher::bind(launcher);
        return o;
    }

    // The application with that service, which a daemon that is down is started through.
    std::unique_ptr<AppDelegate> launch() {
        AppDelegate::Seams s = seams();
        s.launchDaemon = serviceOptions();
        s.starter.kickstart = nullptr;
        return AppFixture::launch(std::move(s));
    }
    // The same, its writes waiting while the test brings the daemon up once the restart was
    // asked for.
    std::unique_ptr<AppDelegate> launchWaitingForTheDaemon() {
        AppDelegate::Seams s = seams();
        s.launchDaemon = serviceOptions();
        s.starter.kickstart = nullptr;
        s.starter.probes = 2000;
        s.starter.pollInterval = 5ms;
        s.daemon.exchangeTimeout = 1s;
        return AppFixture::launch(std::move(s));
    }

    std::string plistPath() { return serviceOptions().plistPath; }
    std::string entryTitle(const AppDelegate& app) const {
        return app.launchDaemonMenuItem->text().toStdString();
    }
};

TEST_F(ServiceEntryTest, CancelChangesNothing) {
    startMachine(machines::oneFan);
    createTool();
    confirm = false;
    auto app = launch();
    app->launchDaemonMenuItem->trigger();
    std::ofstream(plistPath()) << "<plist/>";
    app->toggleLaunchDaemon();
    // The confirmations' texts byte for byte.
    EXPECT_EQ(confirmations,
              (std::vector<std::string>{
                  "安装免密码控制服务|安装后风扇控制守护进程将随开机自启并常驻，调整转速时不再弹出"
                  "密码框。\n\n安装过程需要输入一次管理员密码。|安装",
                  "卸载免密码控制服务？|卸载后，调整风扇转速时可能再次弹出密码框。|卸载"}));
    QCoreApplication::processEvents();  // a queued completion, were there one, would run now
    EXPECT_EQ(entryTitle(*app), kInstallTitle);
    EXPECT_TRUE(app->launchDaemonMenuItem->isEnabled());
    EXPECT_TRUE(launcher->scripts().empty());
    EXPECT_TRUE(alerts.empty());
}

TEST_F(ServiceEntryTest, InstallReportsTheScriptsExitStatus) {
    startMachine(machines::oneFan);
    createTool();
    auto app = launch();
    const LaunchDaemonManager manager(serviceOptions());

    // A cancelled prompt: the files were staged in a private directory for the script,
    // which is removed afterwards; nothing is placed.
    std::vector<std::string> staged;
    launcher->action = [&] {
        const QStringList dirs =
            QDir(dir.filePath("tmp")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString& name : dirs) {
            const std::string path = dir.filePath("tmp/" + name).toStdString();
            staged = {path, std::to_string(mode(path)),
                      readFile(LaunchDaemonManager::stagedPlistPath(path)),
                      readFile(LaunchDaemonManager::stagedUnitPath(path))};
        }
    };
    app->toggleLaunchDaemon();
    EXPECT_EQ(entryTitle(*app), Texts::installWorking);
    EXPECT_FALSE(app->launchDaemonMenuItem->isEnabled());
    ASSERT_TRUE(waitForAlerts(1));
    EXPECT_EQ(alerts.back(), kInstallFailed);
    ASSERT_EQ(staged.size(), 4u);
    EXPECT_EQ(staged[0].rfind(path("tmp/com.orvane.orvtool."), 0), 0u);
    EXPECT_EQ(staged[1], std::to_string(0700));
    EXPECT_EQ(staged[2], manager.servicePropertyList());
    EXPECT_EQ(staged[3], manager.unitText());
    EXPECT_EQ(launcher->scripts(),
              std::vector<std::string>{manager.installScript(toolPath(), staged[0])});
    EXPECT_FALSE(exists(staged[0]));
    EXPECT_FALSE(exists(plistPath()));
    launcher->action = nullptr;
    EXPECT_EQ(entryTitle(*app), kInstallTitle);
    EXPECT_TRUE(app->launchDaemonMenuItem->isEnabled());

    // A launcher that cannot be started.
    launcher->status = std::nullopt;
    app->toggleLaunchDaemon();
    ASSERT_TRUE(waitForAlerts(2));
    EXPECT_EQ(alerts.back(), kInstallFailed);

    // A failed script that placed the property list: the entry offers uninstalling.
    launcher->status = 1;
    launcher->action = [this] { std::ofstream(plistPath()) << "<plist/>"; };
    app->toggleLaunchDaemon();
    ASSERT_TRUE(waitForAlerts(3));
    EXPECT_EQ(alerts.back(), kInstallFailed);
    EXPECT_EQ(entryTitle(*app), kUninstallTitle);

    // Status 0.
    ::unlink(plistPath().c_str());
    launcher->status = 0;
    app->toggleLaunchDaemon();
    ASSERT_TRUE(waitForAlerts(4));
    EXPECT_EQ(alerts.back(), kInstalled);
    EXPECT_EQ(entryTitle(*app), kUninstallTitle);
    EXPECT_TRUE(app->launchDaemonMenuItem->isEnabled());
}

TEST_F(ServiceEntryTest, InstallWithoutToolFailsWithoutPromptButStillLater) {
    startMachine(machines::oneFan);
    auto app = launch();
    app->toggleLaunchDaemon();
    EXPECT_TRUE(alerts.empty());  // handed back with a queued call, not directly
    ASSERT_TRUE(waitForAlerts(1));
    EXPECT_EQ(alerts, std::vector<Alert>{kInstallFailed});
    EXPECT_TRUE(launcher->scripts().empty());
    EXPECT_EQ(entryTitle(*app), kInstallTitle);
}

TEST_F(ServiceEntryTest, UninstallReportsTheScriptsExitStatus) {
    startMachine(machines::oneFan);
    std::ofstream(plistPath()) << "<plist/>";
    auto app = launch();
    EXPECT_EQ(entryTitle(*app), kUninstallTitle);

    app->toggleLaunchDaemon();
    EXPECT_EQ(entryTitle(*app), Texts::uninstallWorking);
    EXPECT_FALSE(app->launchDaemonMenuItem->isEnabled());
    ASSERT_TRUE(waitForAlerts(1));
    EXPECT_EQ(alerts.back(), kUninstallFailed);
    EXPECT_EQ(entryTitle(*app), kUninstallTitle);
    EXPECT_EQ(launcher->scripts(),
              std::vector<std::string>{LaunchDaemonManager(serviceOptions()).uninstallScript()});

    launcher->status = 0;
    launcher->action = [this] { ::unlink(plistPath().c_str()); };
    app->toggleLaunchDaemon();
    ASSERT_TRUE(waitForAlerts(2));
    EXPECT_EQ(alerts.back(), kUninstalled);
    EXPECT_EQ(entryTitle(*app), kInstallTitle);
    EXPECT_TRUE(app->launchDaemonMenuItem->isEnabled());
}

TEST_F(ServiceEntryTest, WritePathKickstartsTheInstalledServiceInsteadOfPrompting) {
    startMachine(machines::modeKeys);
    createTool();
    std::ofstream(plistPath()) << "<plist/>";
    const std::string log = path("systemctl.log");
    writeStandIn(serviceOptions().systemctl, log, path("fail"));

    auto app = launchWaitingForTheDaemon();
    app->sliderChanged(1, 4000);

    ASSERT_TRUE(QTest::qWaitFor([&] { return exists(log); }, 10000));
    FakeDaemon fake(socketPath(), FakeDaemon::daemonLike);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sentWrite(fake); }, 15000));
    EXPECT_TRUE(leaseBeforeWrite(fake.commands())) << ::testing::PrintToString(fake.commands());
    EXPECT_EQ(readFile(log), "--no-ask-password restart com.orvane.orvtool.service\n");
    EXPECT_TRUE(launcher->scripts().empty());
    EXPECT_TRUE(alerts.empty());
}

TEST_F(ServiceEntryTest, WritePathRestartsARefusedServiceAsRootInTheBackground) {
    startMachine(machines::modeKeys);
    createTool();
    std::ofstream(plistPath()) << "<plist/>";
    const std::string log = path("systemctl.log");
    writeStandIn(serviceOptions().systemctl, log, path("fail"));
    std::ofstream(path("fail")) << "";  // the user's restart is refused
    std::atomic<bool> onMainThread{true};
    launcher->status = 0;
    launcher->action = [&] { onMainThread = QThread::currentThread() == qApp->thread(); };

    auto app = launchWaitingForTheDaemon();
    app->sliderChanged(1, 4000);

    ASSERT_TRUE(QTest::qWaitFor([&] { return !launcher->scripts().empty(); }, 10000));
    FakeDaemon fake(socketPath(), FakeDaemon::daemonLike);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sentWrite(fake); }, 15000));
    EXPECT_TRUE(leaseBeforeWrite(fake.commands())) << ::testing::PrintToString(fake.commands());
    EXPECT_EQ(readFile(log), "--no-ask-password restart com.orvane.orvtool.service\n");
    EXPECT_EQ(launcher->scripts(), std::vector<std::string>{shellQuote(serviceOptions().systemctl) +
                                                            " '--no-ask-password' 'restart' "
                                                            "'com.orvane.orvtool.service'"});
    EXPECT_FALSE(onMainThread);
    EXPECT_TRUE(alerts.empty());
}

// Installing and removing for real: the scripts run as root inside a private /tmp, every
// path of the service lies in it (with characters the shell and XML give a meaning), and
// systemctl is a recording stand-in.
class RealInstallTest : public ServiceEntryTest {
  protected:
    void SetUp() override {
        ServiceEntryTest::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp needs root";
        tmp = std::make_unique<PrivateTmp>();
        ASSERT_TRUE(tmp->ok()) << tmp->error();
        QDir().mkpath(QString::fromStdString(tmp->path("/tmp/user's tmp")));
        // The tool lies where both this process and the private /tmp see it, at a path
        // root may run (in the build tree).
        ASSERT_TRUE(toolDir.isValid());
        QDir().mkpath(toolDir.filePath("app & <co>"));
        std::ofstream(toolPath()) << "#!/bin/sh\necho tool\n";
        writeStandIn(systemctl(), tmp->path("/tmp/systemctl.log"), tmp->path("/tmp/fail"));
    }

    LaunchDaemonManager::Options serviceOptions() override {
        const std::string root = tmp->path("/tmp/root \"it's\" & <x>");
        LaunchDaemonManager::Options o;
        o.kind = ServiceManagerKind::systemd;
        o.plistPath = root + "/Library/LaunchDaemons/com.orvane.orvtool.plist";
        o.installBinPath = root + "/Library/PrivilegedHelperTools/com.orvane.orvtool";
        o.unitPath = root + "/etc/systemd/system/com.orvane.orvtool.service";
        o.systemctl = systemctl();
        o.tempDir = tmp->path("/tmp/user's tmp/");
        o.logPath = root + "/var/log/orvane/daemon.log";
        o.toolPath = [tool = toolPath()] { return tool; };
        PrivateTmp* inside = tmp.get();
        o.launcher = [inside](const std::string& script) -> std::optional<int> {
            return inside->run({"/bin/sh", "-c", script});
        };
        return o;
    }
    std::string toolPath() const override {
        return toolDir.filePath("app & <co>/orvtool").toStdString();
    }
    std::string systemctl() const { return tmp->path("/tmp/bin/systemctl"); }
    std::string recorded() const { return readFile(tmp->path("/tmp/systemctl.log")); }

    QTemporaryDir toolDir{QString(ORVANE_BINARY_DIR) + "/install-test-XXXXXX"};
    std::unique_ptr<PrivateTmp> tmp;
};

TEST_F(RealInstallTest, InstallPlacesTheFilesAndUninstallRemovesThem) {
    startMachine(machines::oneFan);
    auto app = launch();
    const LaunchDaemonManager manager(serviceOptions());
    const LaunchDaemonManager::Options& o = manager.options();

    app->toggleLaunchDaemon();
    ASSERT_TRUE(waitForAlerts(1));
    EXPECT_EQ(alerts.back(), kInstalled);
    EXPECT_EQ(entryTitle(*app), kUninstallTitle);
    EXPECT_EQ(readFile(o.installBinPath), "#!/bin/sh\necho tool\n");
    EXPECT_EQ(mode(o.installBinPath), 0755u);
    EXPECT_EQ(readFile(o.plistPath), manager.servicePropertyList());
    EXPECT_EQ(mode(o.plistPath), 0644u);
    EXPECT_EQ(readFile(o.unitPath), manager.unitText());
    EXPECT_EQ(mode(o.unitPath), 0644u);
    EXPECT_TRUE(QFileInfo(QString::fromStdString(o.logPath)).dir().exists());
    // The staging directory is gone.
    EXPECT_TRUE(QDir(QString::fromStdString(o.tempDir))
                    .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                    .isEmpty());
    EXPECT_EQ(recorded(),
              "daemon-reload\n"
              "enable com.orvane.orvtool.service\n"
              "restart com.orvane.orvtool.service\n");

    app->toggleLaunchDaemon();
    ASSERT_TRUE(waitForAlerts(2));
    EXPECT_EQ(alerts.back(), kUninstalled);
    EXPECT_EQ(entryTitle(*app), kInstallTitle);
    EXPECT_FALSE(exists(o.installBinPath));
    EXPECT_FALSE(exists(o.plistPath));
    EXPECT_FALSE(exists(o.unitPath));
    EXPECT_EQ(recorded(),
              "daemon-reload\n"
              "enable com.orvane.orvtool.service\n"
              "restart com.orvane.orvtool.service\n"
              "disable --now com.orvane.orvtool.service\n"
              "daemon-reload\n");

    // Nothing installed: removing still succeeds.
    bool result = false;
    bool done = false;
    manager.uninstall([&](bool ok) {
        result = ok;
        done = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 10000));
    EXPECT_TRUE(result);
}

TEST_F(RealInstallTest, FailedRestartReportsFailureWithTheFilesInPlace) {
    startMachine(machines::oneFan);
    std::ofstream(tmp->path("/tmp/fail")) << "";
    auto app = launch();
    app->toggleLaunchDaemon();
    ASSERT_TRUE(waitForAlerts(1));
    EXPECT_EQ(alerts.back(), kInstallFailed);
    EXPECT_TRUE(exists(serviceOptions().installBinPath));
    EXPECT_EQ(entryTitle(*app), kUninstallTitle);
}

// The script run as root copies only plain files from a plain staging directory, and
// compares what it copied: a link at any source, or at the directory, ends it with a
// failure before anything is placed.
TEST_F(RealInstallTest, ScriptRefusesLinkedSources) {
    const LaunchDaemonManager manager(serviceOptions());
    const LaunchDaemonManager::Options& o = manager.options();
    const std::string elsewhere = tmp->path("/tmp/elsewhere");
    QDir().mkpath(QString::fromStdString(elsewhere));
    std::ofstream(elsewhere + "/evil") << "[Service]\nExecStart=/bin/sh -c 'id > /pwned'\n";
    const auto stage = [&](const std::string& name) {
        const std::string staging = tmp->path("/tmp/user's tmp/") + name;
        QDir().mkpath(QString::fromStdString(staging));
        Files::writeAtomically(LaunchDaemonManager::stagedPlistPath(staging),
                               manager.servicePropertyList());
        Files::writeAtomically(LaunchDaemonManager::stagedUnitPath(staging), manager.unitText());
        return staging;
    };
    const auto run = [&](const std::string& tool, const std::string& staging) {
        return o.launcher(manager.installScript(tool, staging));
    };

    const std::string linkedUnit = stage("unit");
    ::unlink(LaunchDaemonManager::stagedUnitPath(linkedUnit).c_str());
    ASSERT_EQ(::symlink((elsewhere + "/evil").c_str(),
                        LaunchDaemonManager::stagedUnitPath(linkedUnit).c_str()),
              0);
    EXPECT_EQ(run(toolPath(), linkedUnit), 1);

    const std::string linkedDir = tmp->path("/tmp/user's tmp/linked");
    ASSERT_EQ(::symlink(stage("real").c_str(), linkedDir.c_str()), 0);
    EXPECT_EQ(run(toolPath(), linkedDir), 1);

    const std::string linkedTool = tmp->path("/tmp/orvtool-link");
    ASSERT_EQ(::symlink(toolPath().c_str(), linkedTool.c_str()), 0);
    EXPECT_EQ(run(linkedTool, stage("tool")), 1);

    EXPECT_FALSE(exists(o.installBinPath));
    EXPECT_FALSE(exists(o.plistPath));
    EXPECT_FALSE(exists(o.unitPath));
    EXPECT_EQ(recorded(), "");

    // The same script with plain files installs.
    EXPECT_EQ(run(toolPath(), stage("plain")), 0);
    EXPECT_EQ(readFile(o.unitPath), manager.unitText());
}
