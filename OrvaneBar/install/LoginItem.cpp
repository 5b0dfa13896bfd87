#include "LoginItem.h"

#include <stdlib.h>
#include <unistd.h>

#include <QDir>
#include <cstdio>

#include "AppPaths.h"
#include "Files.h"
#include "PropertyList.h"
#include "Texts.h"
#ifdef __APPLE__
#include "LoginItemMac.h"
#endif

namespace {

using Files::fileExists;
using Files::writeAtomically;

std::shared_ptr<LoginItemService> platformService(const std::string& home,
                                                  std::function<std::string()> executablePath) {
#ifdef __APPLE__
    (void)home;
    (void)executablePath;
    return makeMainAppLoginItemService();
#else
    const char* configHome = ::getenv("XDG_CONFIG_HOME");
    return std::make_shared<AutostartEntryService>(
        AutostartEntryService::entryPathFor(configHome != nullptr ? configHome : "", home),
        std::move(executablePath));
#endif
}

// One line on standard error for a service call that failed with an explanation.
void reportFailure(const char* prefix, const LoginItemService& service) {
    const std::string why = service.lastError();
    if (!why.empty()) std::fprintf(stderr, "%s%s\n", prefix, why.c_str());
}

}  // namespace

std::string desktopExecArgument(const std::string& argument) {
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    bool quote = false;
    std::string plain;  // "%" doubled
    std::string inner;  // "%" doubled, and escaped for double quotes
    for (char c : argument) {
        if (reserved.find(c) != std::string::npos) quote = true;
        if (c == '"' || c == '`' || c == '$' || c == '\\') inner += '\\';
        if (c == '%') {
            plain += '%';
            inner += '%';
        }
        plain += c;
        inner += c;
    }
    const std::string word = quote ? "\"" + inner + "\"" : plain;
    std::string value;
    for (char c : word) {
        if (c == '\\') {
            value += "\\\\";
        } else if (c == '\n') {
            value += "\\n";
        } else {
            value += c;
        }
    }
    return value;
}

AutostartEntryService::AutostartEntryService(std::string entryPath,
                                             std::function<std::string()> executablePath)
    : entryPath_(std::move(entryPath)), executablePath_(std::move(executablePath)) {}

std::string AutostartEntryService::entryPathFor(const std::string& configHome,
                                                const std::string& home) {
    const std::string base =
        !configHome.empty() && configHome.front() == '/' ? configHome : home + "/.config";
    return base + "/autostart/" + fileName;
}

std::string AutostartEntryService::entryText(const std::string& executablePath) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=OrvaneBar\n"
           "Comment=Orvane fan control\n"
           "Exec=" +
           desktopExecArgument(executablePath) +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

int AutostartEntryService::status() const {
    return fileExists(entryPath_) ? enabled : notRegistered;
}

bool AutostartEntryService::registerItem() {
    QDir().mkpath(QString::fromStdString(AppPaths::deletingLastComponent(entryPath_)));
    return writeAtomically(entryPath_, entryText(executablePath_()));
}

bool AutostartEntryService::unregisterItem() {
    return ::unlink(entryPath_.c_str()) == 0;
}

LoginItem::LoginItem() : LoginItem(Options{}) {}

LoginItem::LoginItem(Options options) {
    const std::string home =
        options.home.empty() ? QDir::homePath().toStdString() : std::move(options.home);
    executablePath_ = options.executablePath ? std::move(options.executablePath)
                                             : [] { return AppPaths::executablePath(); };
    service_ = options.service ? *options.service : platformService(home, executablePath_);
    launchAgentPlist_ = home + "/Library/LaunchAgents/" + label + ".plist";
}

std::string LoginItem::agentPropertyList(const std::string& executablePath) {
    return std::string(PropertyList::prologue) +
           "<dict>\n"
           "    <key>Label</key>\n"
           "    <string>" +
           label +
           "</string>\n"
           "    <key>ProgramArguments</key>\n"
           "    <array>\n"
           "        <string>" +
           PropertyList::xmlEscape(executablePath) +
           "</string>\n"
           "    </array>\n"
           "    <key>RunAtLoad</key>\n"
           "    <true/>\n"
           "</dict>\n"
           "</plist>";
}

bool LoginItem::usableService() const {
    return service_ && service_->hasBundleIdentifier();
}

bool LoginItem::isEnabled() const {
    if (usableService() && service_->status() == LoginItemService::enabled) return true;
    return fileExists(launchAgentPlist_);
}

void LoginItem::setEnabled(bool enabled) {
    const bool useService = usableService();
    if (enabled) {
        if (useService) {
            if (!service_->registerItem()) {
                reportFailure(Texts::loginItemRegisterFailed, *service_);
            } else if (service_->status() == LoginItemService::enabled) {
                return;
            }
        }
        QDir().mkpath(QString::fromStdString(AppPaths::deletingLastComponent(launchAgentPlist_)));
        (void)writeAtomically(launchAgentPlist_, agentPropertyList(executablePath_()));
        return;
    }
    if (useService && service_->status() != LoginItemService::notRegistered &&
        !service_->unregisterItem())
        reportFailure(Texts::loginItemUnregisterFailed, *service_);
    (void)::unlink(launchAgentPlist_.c_str());
}
