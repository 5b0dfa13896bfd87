// orvane-service-install install|uninstall: the application's own install or removal of the
// control service, as its menu entry runs it once the user has confirmed (same files, same
// root script, same service manager calls), for the service test that runs it as root where
// systemd is the service manager. The tool installed is the orvtool beside this program.
// Exits with 0 when the operation reported success, 1 when it reported failure.
#include <QCoreApplication>
#include <cstdio>
#include <cstring>

#include "LaunchDaemonManager.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool install = argc == 2 && std::strcmp(argv[1], "install") == 0;
    if (argc != 2 || (!install && std::strcmp(argv[1], "uninstall") != 0)) {
        std::fprintf(stderr, "usage: orvane-service-install install|uninstall\n");
        return 2;
    }
    const LaunchDaemonManager manager;
    int status = 1;
    const auto then = [&](bool ok) {
        status = ok ? 0 : 1;
        app.quit();
    };
    if (install)
        manager.install(then);
    else
        manager.uninstall(then);
    app.exec();
    return status;
}
