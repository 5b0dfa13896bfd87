#include "LaunchDaemonManager.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <thread>

#include "AppPaths.h"
#include "Files.h"
#include "PropertyList.h"

namespace {

using Files::fileExists;
using Files::writeAtomically;

// A command name for the shell: as it is when it holds only characters the shell takes
// literally, else quoted.
std::string shellWord(const std::string& word) {
    for (char c : word) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-' ||
                           c == '+';
        if (!plain) return shellQuote(word);
    }
    return word;
}

// One word of a unit's command line: specifier and variable signs doubled, and the whole
// word between double quotes (with backslash escapes) when it holds a blank, a quote, a
// backslash or a line break.
std::string unitWord(const std::string& word) {
    std::string escaped;
    bool quote = false;
    for (char c : word) {
        if (c == '%' || c == '$') {
            escaped += c;
        } else if (c == ' ' || c == '\t' || c == '\'' || c == ';') {
            quote = true;
        } else if (c == '"' || c == '\\') {
            quote = true;
            escaped += '\\';
        } else if (c == '\n') {
            quote = true;
            escaped += "\\n";
            continue;
        }
        escaped += c;
    }
    return quote ? "\"" + escaped + "\"" : escaped;
}

std::string withDefault(const std::string& value, const char* fallback) {
    return value.empty() ? std::string(fallback) : value;
}

LaunchDaemonManager::Options withDefaults(LaunchDaemonManager::Options options) {
    options.plistPath = withDefault(options.plistPath, LaunchDaemonManager::defaultPlistPath);
    options.installBinPath =
        withDefault(options.installBinPath, LaunchDaemonManager::defaultInstallBinPath);
    options.unitPath = withDefault(options.unitPath, LaunchDaemonManager::defaultUnitPath);
    options.systemctl = withDefault(options.systemctl, "systemctl");
    if (options.tempDir.empty()) options.tempDir = QDir::tempPath().toStdString();
    if (options.tempDir.back() != '/') options.tempDir += '/';
    if (!options.toolPath) options.toolPath = [] { return AppPaths::orvtoolPath(); };
    if (!options.launcher) options.launcher = runAsAdministrator;
    return options;
}

}  // namespace

void postResult(std::function<void(bool)> then, bool result) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(
        app, [then = std::move(then), result] { then(result); }, Qt::QueuedConnection);
}

LaunchDaemonManager::LaunchDaemonManager() : LaunchDaemonManager(Options{}) {}

LaunchDaemonManager::LaunchDaemonManager(Options options)
    : options_(withDefaults(std::move(options))) {}

namespace {

LaunchDaemonManager::Options withPlistPath(std::string plistPath) {
    LaunchDaemonManager::Options options;
    options.plistPath = std::move(plistPath);
    return options;
}

}  // namespace

LaunchDaemonManager::LaunchDaemonManager(std::string plistPath)
    : LaunchDaemonManager(withPlistPath(std::move(plistPath))) {}

bool LaunchDaemonManager::isInstalled() const {
    return fileExists(options_.plistPath);
}

std::string LaunchDaemonManager::servicePropertyList() const {
    const std::string log = AppPaths::daemonLogPath;
    return std::string(PropertyList::prologue) +
           "<dict>\n"
           "    <key>Label</key>\n"
           "    <string>" +
           label +
           "</string>\n"
           "    <key>ProgramArguments</key>\n"
           "    <array>\n"
           "        <string>" +
           PropertyList::xmlEscape(options_.installBinPath) +
           "</string>\n"
           "        <string>serve</string>\n"
           "    </array>\n"
           "    <key>RunAtLoad</key>\n"
           "    <true/>\n"
           "    <key>KeepAlive</key>\n"
           "    <true/>\n"
           "    <key>StandardErrorPath</key>\n"
           "    <string>" +
           log +
           "</string>\n"
           "    <key>StandardOutPath</key>\n"
           "    <string>" +
           log +
           "</string>\n"
           "</dict>\n"
           "</plist>";
}

std::string LaunchDaemonManager::unitText() const {
    const std::string bin = unitWord(options_.installBinPath);
    const std::string log = AppPaths::daemonLogPath;
    // Restarted whenever it exits, without a limit on restarts; a daemon that died
    // without handing the fans back (killed) gets them handed back before it is restarted
    // or stopped.
    return "[Unit]\n"
           "Description=Orvane fan control daemon\n"
           "StartLimitIntervalSec=0\n"
           "\n"
           "[Service]\n"
           "ExecStart=" +
           bin +
           " serve\n"
           "ExecStopPost=" +
           bin +
           " auto\n"
           "Restart=always\n"
           "RestartSec=1\n"
           "StandardOutput=append:" +
           log +
           "\n"
           "StandardError=append:" +
           log +
           "\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

std::string LaunchDaemonManager::tempPlistPath() const {
    return options_.tempDir + label + ".plist";
}

std::string LaunchDaemonManager::tempUnitPath() const {
    return options_.tempDir + unitName;
}

std::string LaunchDaemonManager::installScript(const std::string& toolPath) const {
    const std::string bin = shellQuote(options_.installBinPath);
    const std::string plist = shellQuote(options_.plistPath);
    const std::string copies = "cp " + shellQuote(toolPath) + " " + bin + " && chmod 755 " + bin +
                               " && cp " + shellQuote(tempPlistPath()) + " " + plist +
                               " && chmod 644 " + plist;
    if (options_.kind == ServiceManagerKind::launchd) {
        const std::string target = std::string("system/") + label;
        return copies + " && launchctl bootstrap system " + plist +
               " 2>/dev/null; launchctl enable " + target + "; launchctl kickstart -k " + target;
    }
    const std::string systemctl = shellWord(options_.systemctl);
    const std::string unit = shellQuote(options_.unitPath);
    return "mkdir -p " + shellQuote(AppPaths::deletingLastComponent(options_.installBinPath)) +
           " " + shellQuote(AppPaths::deletingLastComponent(options_.plistPath)) + " " +
           shellQuote(AppPaths::deletingLastComponent(options_.unitPath)) + " && " + copies +
           " && cp " + shellQuote(tempUnitPath()) + " " + unit + " && chmod 644 " + unit + " && " +
           systemctl + " daemon-reload 2>/dev/null; " + systemctl + " enable " + unitName + "; " +
           systemctl + " restart " + unitName;
}

std::string LaunchDaemonManager::uninstallScript() const {
    const std::string files =
        shellQuote(options_.plistPath) + " " + shellQuote(options_.installBinPath);
    if (options_.kind == ServiceManagerKind::launchd)
        return std::string("launchctl bootout system/") + label + " 2>/dev/null; rm -f " + files;
    const std::string systemctl = shellWord(options_.systemctl);
    // The reload after the removal only tidies the service manager's view; the result is
    // that of the removal.
    return systemctl + " disable --now " + unitName + " 2>/dev/null; rm -f " + files + " " +
           shellQuote(options_.unitPath) + " && (" + systemctl + " daemon-reload 2>/dev/null || :)";
}

std::vector<std::string> LaunchDaemonManager::kickstartCommand() const {
    if (options_.kind == ServiceManagerKind::launchd)
        return {launchctlPath, "kickstart", "-k", std::string("system/") + label};
    return {options_.systemctl, "--no-ask-password", "restart", unitName};
}

void LaunchDaemonManager::install(std::function<void(bool)> then) const {
    const std::string tool = options_.toolPath();
    if (!fileExists(tool)) {
        postResult(std::move(then), false);
        return;
    }
    if (!writeAtomically(tempPlistPath(), servicePropertyList()) ||
        (options_.kind == ServiceManagerKind::systemd &&
         !writeAtomically(tempUnitPath(), unitText()))) {
        postResult(std::move(then), false);
        return;
    }
    runPrivileged(installScript(tool), std::move(then));
}

void LaunchDaemonManager::uninstall(std::function<void(bool)> then) const {
    runPrivileged(uninstallScript(), std::move(then));
}

bool LaunchDaemonManager::kickstartIfInstalled() const {
    if (!isInstalled()) return false;
    return runProcess(kickstartCommand()).has_value();
}

void LaunchDaemonManager::runPrivileged(const std::string& script,
                                        std::function<void(bool)> then) const {
    std::thread([launcher = options_.launcher, script, then = std::move(then)]() mutable {
        const std::optional<int> status = launcher(script);
        postResult(std::move(then), status && *status == 0);
    }).detach();
}
