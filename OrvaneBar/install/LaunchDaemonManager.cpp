#include "LaunchDaemonManager.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>  // getuid; mkdtemp on macOS (<stdlib.h> elsewhere)

#include <QCoreApplication>
#include <QDir>
#include <algorithm>
#include <filesystem>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "AppPaths.h"
#include "Files.h"
#include "Paths.h"
#include "PropertyList.h"
#include "ServiceUnit.h"
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

std::string LaunchDaemonManager::servicePropertyList() const {
    PropertyList::Dict plist;
    plist.string("Label", label)
        .strings("ProgramArguments", {options_.installBinPath, "serve"})
        .boolean("RunAtLoad", true)
        .boolean("KeepAlive", true);
    // The service's user, whom the daemon takes for its owner (nothing for root).
    if (*options_.ownerUid != 0) {
        plist.dict(
            "EnvironmentVariables",
            PropertyList::Dict().string(paths::kOwnerUidEnv, std::to_string(*options_.ownerUid)));
    }
    return plist.string("StandardErrorPath", options_.logPath)
        .string("StandardOutPath", options_.logPath)
        .document();
}

std::string LaunchDaemonManager::unitText() const {
    // The packaged unit, line by line: the command lines run this installation's tool (the
    // first word replaced, the arguments kept), the output goes to its log, and the
    // service's user follows the command lines (nothing for root).
    const std::string tool = unitWord(options_.installBinPath);
    std::string owner;
    if (*options_.ownerUid != 0) {
        owner = std::string("Environment=") + paths::kOwnerUidEnv + "=" +
                std::to_string(*options_.ownerUid) + "\n";
    }
    std::string text;
    std::string_view rest = ServiceUnit::packaged;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size() - 1) + 1;
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end);
        const auto field = [&](std::string_view name) { return line.starts_with(name); };
        if (field("ExecStart=") || field("ExecStopPost=")) {
            const std::size_t value = line.find('=') + 1;
            const std::size_t arguments = std::min(line.find_first_of(" \n", value), line.size());
            text.append(line.substr(0, value)).append(tool).append(line.substr(arguments));
            if (field("ExecStopPost=")) text += owner;
        } else if (field("StandardOutput=append:") || field("StandardError=append:")) {
            const std::size_t value = line.find(':') + 1;
            text.append(line.substr(0, value)).append(options_.logPath);
            if (line.ends_with('\n')) text += '\n';
        } else {
            text.append(line);
        }
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
