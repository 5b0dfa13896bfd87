#include "LaunchDaemonManager.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>  // getuid; mkdtemp on macOS (<stdlib.h> elsewhere)

#include <QCoreApplication>
#include <QDir>
#include <filesystem>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "AppPaths.h"
#include "Files.h"
#include "PropertyList.h"
#include "ToolTrust.h"

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
    options.logPath = withDefault(options.logPath, AppPaths::daemonLogPath);
    if (!options.toolPath) options.toolPath = [] { return AppPaths::orvtoolPath(); };
    if (!options.launcher) options.launcher = runAsAdministrator;
    if (!options.ownerUid) options.ownerUid = ::getuid();
    if (!options.run)
        options.run = [](const std::vector<std::string>& args) { return runProcess(args); };
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

std::string LaunchDaemonManager::ownerEnvironment() const {
    if (*options_.ownerUid == 0) return "";
    return "    <key>EnvironmentVariables</key>\n"
           "    <dict>\n"
           "        <key>ORVANE_OWNER_UID</key>\n"
           "        <string>" +
           std::to_string(*options_.ownerUid) +
           "</string>\n"
           "    </dict>\n";
}

std::string LaunchDaemonManager::ownerVariable() const {
    if (*options_.ownerUid == 0) return "";
    return "Environment=ORVANE_OWNER_UID=" + std::to_string(*options_.ownerUid) + "\n";
}

std::string LaunchDaemonManager::servicePropertyList() const {
    const std::string log = PropertyList::xmlEscape(options_.logPath);
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
           "    <true/>\n" +
           ownerEnvironment() +
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
    // The text of the packaged unit (packaging/com.orvane.orvtool.service, which a test
    // compares), with this installation's tool and log.
    static constexpr const char* unitTemplate =
        R"unit(# The Orvane fan control daemon as a system service. The package ships it in
# /lib/systemd/system, not enabled (systemctl enable --now com.orvane.orvtool); the
# application's own install of the service writes the same unit, running its own copy of the
# tool, to /etc/systemd/system, where it takes the place of the packaged one.
# Restarted whenever it exits, without a limit on restarts; a daemon that died without
# handing the fans back (killed) gets them handed back before it is restarted or stopped.
#
# The daemon runs as root but in a sandbox: no capabilities, only Unix sockets, the file
# system read-only except its socket in the shared /tmp, /run/orvane (its socket, lock and
# the boot's record of original fan minimums, kept across restarts), /var/log/orvane and the
# applesmc driver's directories under /sys; no devices, no network, no namespaces, no new
# privileges, and only the system calls of an ordinary service. A test emulator's socket is
# named by a drop-in (Environment=SMCEMU_SOCKET=...) and reached read-only.
[Unit]
Description=Orvane fan control daemon
Documentation=man:orvtool(1)
StartLimitIntervalSec=0

[Service]
ExecStart=@TOOL@ serve
ExecStopPost=@TOOL@ auto
Restart=always
RestartSec=1
StandardOutput=append:@LOG@
StandardError=append:@LOG@
RuntimeDirectory=orvane
RuntimeDirectoryPreserve=yes
LogsDirectory=orvane
ProtectSystem=strict
ReadWritePaths=/tmp -/sys/devices/platform/applesmc.768 -/sys/bus/acpi/devices/APP0001:00
ProtectHome=yes
PrivateDevices=yes
PrivateNetwork=yes
IPAddressDeny=any
PrivateIPC=yes
PrivateMounts=yes
ProtectKernelTunables=yes
ProtectKernelModules=yes
ProtectKernelLogs=yes
ProtectControlGroups=yes
ProtectClock=yes
ProtectHostname=yes
ProtectProc=invisible
ProcSubset=pid
CapabilityBoundingSet=
NoNewPrivileges=yes
RestrictAddressFamilies=AF_UNIX
RestrictNamespaces=yes
RestrictRealtime=yes
RestrictSUIDSGID=yes
LockPersonality=yes
MemoryDenyWriteExecute=yes
SystemCallArchitectures=native
SystemCallFilter=@system-service
SystemCallFilter=~@privileged @resources
SystemCallErrorNumber=EPERM

[Install]
WantedBy=multi-user.target
)unit";
    const std::pair<std::string_view, std::string> fields[] = {
        {"@TOOL@", unitWord(options_.installBinPath)}, {"@LOG@", options_.logPath}};
    // One pass, so that a path holding a field's name is taken as it is.
    const std::string_view source = unitTemplate;
    std::string text;
    std::size_t copied = 0;
    for (std::size_t at = source.find('@'); at != std::string_view::npos;
         at = source.find('@', at + 1)) {
        for (const auto& [field, value] : fields) {
            if (source.substr(at, field.size()) != field) continue;
            text.append(source.substr(copied, at - copied)).append(value);
            copied = at + field.size();
            at = copied - 1;
            break;
        }
    }
    text.append(source.substr(copied));
    // The service's user, after the command lines (the packaged unit has none).
    const std::string owner = ownerVariable();
    if (!owner.empty()) {
        const std::size_t stopLine = text.find("\nExecStopPost=");
        const std::size_t next = text.find('\n', stopLine + 1);
        if (stopLine != std::string::npos && next != std::string::npos)
            text.insert(next + 1, owner);
    }
    return text;
}

std::optional<std::string> LaunchDaemonManager::makeStagingDir() const {
    std::string pattern = options_.tempDir + label + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) return std::nullopt;
    return std::string(buffer.data());
}

std::string LaunchDaemonManager::stagedPlistPath(const std::string& stagingDir) {
    return stagingDir + "/" + label + ".plist";
}

std::string LaunchDaemonManager::stagedUnitPath(const std::string& stagingDir) {
    return stagingDir + "/" + unitName;
}

namespace {

// The test that a path is what the script expects and no symbolic link.
std::string isPlain(const char* test, const std::string& path) {
    const std::string quoted = shellQuote(path);
    return std::string("[ ") + test + " " + quoted + " ] && [ ! -L " + quoted + " ]";
}

// Copies, checks that the copy is the source, and sets the copy's mode.
std::string copyChecked(const std::string& source, const std::string& target, const char* mode) {
    const std::string from = shellQuote(source);
    const std::string to = shellQuote(target);
    return "cp " + from + " " + to + " && cmp -s " + from + " " + to + " && chmod " + mode + " " +
           to;
}

}  // namespace

std::string LaunchDaemonManager::installScript(const std::string& toolPath,
                                               const std::string& stagingDir) const {
    const bool systemd = options_.kind == ServiceManagerKind::systemd;
    std::string checks = isPlain("-d", stagingDir) + " && " + isPlain("-f", toolPath) + " && " +
                         isPlain("-f", stagedPlistPath(stagingDir));
    if (systemd) checks += " && " + isPlain("-f", stagedUnitPath(stagingDir));

    // The directories of the installed files need not exist yet (a fresh system may lack
    // the helper tools' directory), and the service manager opens the log before the
    // daemon runs, so they are made here (root's own, under root-owned directories).
    std::vector<const std::string*> files = {&options_.installBinPath, &options_.plistPath};
    if (systemd) files.push_back(&options_.unitPath);
    files.push_back(&options_.logPath);
    std::string dirs;
    for (const std::string* path : files)
        dirs += (dirs.empty() ? "" : " ") + shellQuote(AppPaths::deletingLastComponent(*path));

    std::string copies = checks + " && mkdir -p " + dirs + " && " +
                         copyChecked(toolPath, options_.installBinPath, "755") + " && " +
                         copyChecked(stagedPlistPath(stagingDir), options_.plistPath, "644");
    if (systemd)
        copies += " && " + copyChecked(stagedUnitPath(stagingDir), options_.unitPath, "644");
    copies += " || exit 1; ";

    const std::string plist = shellQuote(options_.plistPath);
    if (!systemd) {
        const std::string target = std::string("system/") + label;
        return copies + "launchctl bootstrap system " + plist + " 2>/dev/null; launchctl enable " +
               target + "; launchctl kickstart -k " + target;
    }
    const std::string systemctl = shellWord(options_.systemctl);
    return copies + systemctl + " daemon-reload 2>/dev/null; " + systemctl + " enable " + unitName +
           "; " + systemctl + " restart " + unitName;
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

std::string LaunchDaemonManager::kickstartScript() const {
    std::string script;
    for (const std::string& word : kickstartCommand())
        script += (script.empty() ? "" : " ") + shellQuote(word);
    return script;
}

void LaunchDaemonManager::install(std::function<void(bool)> then) const {
    const ToolTrust trust = checkToolTrust(options_.toolPath());
    if (!trust.trusted) {
        postResult(std::move(then), false);
        return;
    }
    const std::optional<std::string> staging = makeStagingDir();
    if (!staging) {
        postResult(std::move(then), false);
        return;
    }
    if (!writeAtomically(stagedPlistPath(*staging), servicePropertyList()) ||
        (options_.kind == ServiceManagerKind::systemd &&
         !writeAtomically(stagedUnitPath(*staging), unitText()))) {
        std::error_code ignored;
        std::filesystem::remove_all(*staging, ignored);
        postResult(std::move(then), false);
        return;
    }
    runPrivileged(installScript(trust.path, *staging), std::move(then), *staging);
}

void LaunchDaemonManager::uninstall(std::function<void(bool)> then) const {
    runPrivileged(uninstallScript(), std::move(then));
}

bool LaunchDaemonManager::kickstartIfInstalled() const {
    if (!isInstalled()) return false;
    const std::optional<int> asUser = options_.run(kickstartCommand());
    if (asUser && *asUser == 0) return true;
    const std::optional<int> asRoot = options_.launcher(kickstartScript());
    return asRoot && *asRoot == 0;
}

void LaunchDaemonManager::runPrivileged(const std::string& script, std::function<void(bool)> then,
                                        const std::string& cleanUp) const {
    std::thread([launcher = options_.launcher, script, then = std::move(then), cleanUp]() mutable {
        const std::optional<int> status = launcher(script);
        if (!cleanUp.empty()) {
            // Links inside are removed, never followed.
            std::error_code ignored;
            std::filesystem::remove_all(cleanUp, ignored);
        }
        postResult(std::move(then), status && *status == 0);
    }).detach();
}
