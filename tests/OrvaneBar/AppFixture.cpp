#include "AppFixture.h"

#include <QtCore/qtestsupport_core.h>

#include <QDir>
#include <QSettings>
#include <QTimer>
#include <cstdlib>
#include <fstream>
#include <utility>

#include "../../orvtool/serve/ServeTexts.h"
#include "Alerts.h"
#include "AppPaths.h"
#include "PrivateTmp.h"
#include "PrivilegedLauncher.h"
#include "Texts.h"

using namespace std::chrono_literals;

namespace machines {

bool hasModeKeys(const std::string& profile) {
    return profile == modeKeys;
}

std::string familyName(const std::string& profile) {
    return hasModeKeys(profile) ? "ModeKeys" : "RaisedMinimum";
}

}  // namespace machines

double emulatedRPM(Emulator& emu, int fan) {
    const std::string status = emu.control("status");
    const std::string field = " fan" + std::to_string(fan) + "=";
    const auto at = status.find(field);
    return at == std::string::npos ? -1 : std::atof(status.c_str() + at + field.size());
}

std::string forcingKeys(Emulator& emu, bool modeKeys) {
    if (!modeKeys) return hexString(emu.value("F0Mn")) + " " + hexString(emu.value("F1Mn"));
    const std::string md0 = hexString(emu.value("F0Md"));
    return md0 + (md0 == "01" ? hexString(emu.value("F0Tg")) : "") + " " +
           hexString(emu.value("F1Md"));
}

std::string servedLine(const std::string& request, const protocol::Reply& reply) {
    return texts::kServeLog + request + texts::kServeLogArrow + protocol::formatReply(reply);
}

namespace expected {

Alert noReply(const std::string& command) {
    return {AlertStyle::warning, Texts::noReplyTitle,
            Texts::noReplyPrefix + command + Texts::noReplySuffix};
}

Alert unresponsive(const std::string& command) {
    return {AlertStyle::warning, Texts::noReplyTitle,
            Texts::noReplyPrefix + command + Texts::noReplyUnresponsiveSuffix};
}

Alert busy(const std::string& command) {
    return {AlertStyle::warning, Texts::busyTitle, Texts::busyPrefix + command + Texts::busySuffix};
}

Alert writeRejected() {
    return {AlertStyle::warning, Texts::writeRejectedTitle, Texts::writeRejectedMessage};
}

Alert startFailed(const std::string& tool) {
    return {AlertStyle::warning, Texts::startFailedTitle,
            std::string(Texts::startFailedMessage) + Texts::startFailedManualPrefix +
                shellQuote(tool) + Texts::startFailedManualSuffix + Texts::startFailedLogPrefix +
                AppPaths::daemonLogPath};
}

Alert startFailed(const std::string& tool, const std::string& reason) {
    return {AlertStyle::warning, Texts::startFailedTitle,
            std::string(Texts::startFailedMessage) + Texts::toolRefusedPrefix + shellQuote(tool) +
                Texts::toolRefusedSeparator + reason + "\n" + Texts::startFailedLogPrefix +
                AppPaths::daemonLogPath};
}

Alert foreign(const std::string& socket, uid_t uid, const std::string& command) {
    return {AlertStyle::warning, Texts::foreignListenerTitle,
            socket + Texts::foreignOwnerPrefix + std::to_string(uid) + Texts::foreignOwnerSuffix +
                Texts::foreignCommandPrefix + command + Texts::foreignCommandSuffix};
}

Alert untrustedTool(const std::string& tool, const std::string& reason) {
    return {AlertStyle::warning, Texts::toolUntrustedTitle,
            Texts::toolRefusedPrefix + shellQuote(tool) + Texts::toolRefusedSeparator + reason +
                "\n" + Texts::toolUntrustedAdvice};
}

Alert quitFailed(const std::string& cause, const std::string& tool) {
    return {AlertStyle::warning, Texts::quitFailedTitle,
            cause + Texts::quitManualPrefix + shellQuote(tool) + Texts::quitManualSuffix};
}

std::string trustReason(const std::string& path, const std::string& what) {
    return Texts::trustNamePrefix + path + Texts::trustNameSuffix + what;
}

}  // namespace expected

void RecordingApp::performWrite(const std::string& command) {
    writes.push_back(command);
    if (onWrite) onWrite();
}

std::vector<std::string> RecordingApp::take() {
    return std::exchange(writes, {});
}

void AppFixture::SetUp() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    setAlertPresenter(
        [this](AlertStyle style, const std::string& title, const std::string& message) {
            alerts.push_back({style, title, message});
        });
    setConfirmPresenter(
        [this](const std::string& title, const std::string& message, const std::string& button) {
            confirmations.push_back(title + "|" + message + "|" + button);
            return confirm;
        });
}

void AppFixture::TearDown() {
    setAlertPresenter(printAlertToStderr);
    setConfirmPresenter(printConfirmationDeclined);
}

Emulator& AppFixture::startMachine(const std::string& profile, bool frozen) {
    emu.reset();  // its end takes SMCEMU_SOCKET away; the new one sets it again
    emu = std::make_unique<Emulator>(Emulator::shippedProfile(profile));
    if (frozen) emu->control("clock freeze");
    return *emu;
}

Emulator& AppFixture::startMachineFromText(const std::string& profileText) {
    emu.reset();
    emu = std::make_unique<Emulator>(profileText, true);
    return *emu;
}

AppDelegate::Seams AppFixture::seams() {
    AppDelegate::Seams s;
    s.controller.recordPath = recordPath();
    s.launchDaemonPlistPath = plistPath();
    s.queue = &queue;
    s.showStatusItem = false;
    s.daemon.socketPath = socketPath();
    s.daemon.exchangeTimeout = 300ms;
    s.starter.toolPath = [tool = toolPath()] { return tool; };
    s.starter.launcher = FakeLauncher::bind(launcher);
    s.starter.kickstart = [] { return false; };
    s.starter.probes = 3;
    s.starter.pollInterval = 1ms;
    s.terminate = [this] { ++terminated; };
    s.quitWaitLimit = quitWaitLimit;
    s.runTempDialog = [this](TempThresholdDialog& dialog) {
        return dialogAction && dialogAction(dialog);
    };
    s.loginItem.home = dir.path().toStdString();
    s.loginItem.service = std::shared_ptr<LoginItemService>();
    return s;
}

std::string AppFixture::path(const std::string& name) const {
    return dir.filePath(QString::fromStdString(name)).toStdString();
}

void AppFixture::createTool() const {
    const std::string tool = toolPath();
    QDir().mkpath(QString::fromStdString(tool.substr(0, tool.rfind('/'))));
    std::ofstream(tool) << "#!/bin/sh\n";
}

bool AppFixture::waitForAlerts(std::size_t count) {
    return QTest::qWaitFor([&] { return alerts.size() >= count; }, 10000);
}

void AppFixture::stopTicks(AppDelegate& app) {
    app.refreshTimer->stop();
}

pid_t startDaemonInside(PrivateTmp& tmp, const std::string& logInside, uid_t uid) {
    const pid_t pid = tmp.start({ORVTOOL_BINARY, "serve"}, logInside, uid);
    if (tmp.waitForSocket("/tmp/orvane.sock", pid)) return pid;
    ADD_FAILURE() << "the daemon did not start:\n" << tmp.read(logInside);
    return -1;
}

std::vector<std::string> appCommandLine(const std::vector<std::string>& environment,
                                        const std::vector<std::string>& unset) {
    std::vector<std::string> argv{"/usr/bin/env", "-u", "XDG_CONFIG_HOME"};
    for (const std::string& name : unset)
        argv.insert(argv.end(), {"-u", name});
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.insert(argv.end(), {ORVANEBAR_BINARY, "--print-alerts"});
    return argv;
}
