#include "DaemonStarter.h"

#include <QObject>
#include <QPointer>
#include <thread>

#include "AppPaths.h"
#include "Files.h"
#include "LaunchDaemonManager.h"
#include "MainQueue.h"

namespace {

DaemonStarter::Options withDefaults(DaemonStarter::Options options) {
    if (!options.toolPath) options.toolPath = [] { return AppPaths::orvtoolPath(); };
    if (options.plistPath.empty()) options.plistPath = LaunchDaemonManager::defaultPlistPath;
    if (!options.kickstart) {
        options.kickstart = [plist = options.plistPath] {
            return LaunchDaemonManager(plist).kickstartIfInstalled();
        };
    }
    if (!options.launcher) options.launcher = runAsAdministrator;
    return options;
}

}  // namespace

DaemonStarter::DaemonStarter(DaemonClient client, Options options)
    : shared_(std::make_shared<Shared>(std::move(client), withDefaults(std::move(options)))) {}

std::string DaemonStarter::toolPath() const {
    return shared_->options.toolPath();
}

ToolTrust DaemonStarter::toolTrust() const {
    return checkToolTrust(toolPath());
}

DaemonStatus DaemonStarter::ensureRunning() const {
    return ensureRunning(*shared_);
}

DaemonStatus DaemonStarter::ensureRunning(Shared& shared) {
    const Options& options = shared.options;
    const DaemonClient& client = shared.client;
    const std::lock_guard<std::mutex> oneAttemptAtATime(shared.startMutex);

    const DaemonStatus before = client.probe();
    if (before.kind != DaemonStatus::down) return before;

    // Without the tool nothing is started, not even the installed service.
    const std::string tool = options.toolPath();
    if (!Files::fileExists(tool)) return DaemonStatus::down;

    if (Files::fileExists(options.plistPath)) {
        // The installed copy runs, from a root-owned place.
        (void)options.kickstart();
    } else {
        // Run as root only a file no other user can change, by its resolved path.
        const ToolTrust trust = checkToolTrust(tool);
        if (!trust.trusted) return DaemonStatus::untrustedTool;
        if (!options.launcher(daemonStartScript(trust.path))) return DaemonStatus::down;
    }
    // The launcher's exit status says nothing reliable (the daemon is started in the
    // background); only the probes tell.
    for (int i = 0; i < options.probes; ++i) {
        if (client.probe() == DaemonStatus::alive) return DaemonStatus::alive;
        std::this_thread::sleep_for(options.pollInterval);
    }
    return client.probe();
}

void DaemonStarter::ensureRunningAsync(QObject* context,
                                       std::function<void(DaemonStatus)> then) const {
    std::weak_ptr<Shared> starter = shared_;
    QPointer<QObject> guard(context);
    std::thread([starter, guard, then = std::move(then)]() mutable {
        DaemonStatus result = DaemonStatus::down;
        if (std::shared_ptr<Shared> shared = starter.lock()) result = ensureRunning(*shared);
        // The guard is tested on the main thread, where contexts are deleted.
        MainQueue::post([guard, then = std::move(then), result] {
            if (guard) then(result);
        });
    }).detach();
}
