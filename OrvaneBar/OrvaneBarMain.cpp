#include "OrvaneBarMain.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "Alerts.h"
#include "AppDelegate.h"
#include "AppLock.h"
#include "Formatting.h"
#include "Paths.h"
#include "RecordTexts.h"
#include "Screenshot.h"
#include "Texts.h"

int OrvaneBarMain::main(int argc, char** argv) {
    QApplication app(argc, argv);  // takes Qt's own options out of argv
    QApplication::setOrganizationName("Orvane");
    QApplication::setApplicationName("OrvaneBar");
    // A tray application: no main window, and closing a dialog does not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    bool screenshot = false;
    QString screenshotDir;
    const QStringList args = QApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == "--print-alerts") {
            setAlertPresenter(printAlertToStderr);
            setConfirmPresenter(printConfirmationDeclined);
        } else if (args[i] == "--screenshot" && i + 1 < args.size()) {
            screenshot = true;
            screenshotDir = args[++i];
        } else if (args[i].startsWith("--")) {
            std::fprintf(stderr, "OrvaneBar: unknown option %s\n", qPrintable(args[i]));
            std::fprintf(stderr, "usage: OrvaneBar [--print-alerts] [--screenshot DIR]\n");
            return 1;
        }
    }

    if (!screenshot) {
        // Held until the process ends; the descriptor is deliberately never closed.
        if (acquireAppLock(userHomeDirectory()) < 0) {
            showError(Texts::alreadyRunningTitle, Texts::alreadyRunningMessage);
            return 1;
        }
    }

    AppDelegate::Seams seams;
    seams.showStatusItem = !screenshot;
    std::unique_ptr<AppDelegate> delegate;
    try {
        delegate = std::make_unique<AppDelegate>(seams);
    } catch (const SMCError& error) {
        showError(Texts::smcInitFailedTitle, smcInitFailureText(error.description()));
        return 1;
    } catch (const std::exception& error) {
        showError(Texts::smcInitFailedTitle, smcInitFailureText(error.what()));
        return 1;
    }

    const std::string ignored =
        recordTexts::ignoredWarning(delegate->ctl.recordProblem(), paths::kMinimumRecordPath);
    if (!ignored.empty())
        std::fprintf(stderr, "%s%s\n", Texts::recordIgnoredPrefix, ignored.c_str());

    QObject::connect(&app, &QCoreApplication::aboutToQuit, delegate.get(),
                     &AppDelegate::applicationWillTerminate);
    delegate->applicationDidFinishLaunching();

    if (screenshot) return saveScreenshots(*delegate, screenshotDir) ? 0 : 1;

#ifndef Q_OS_MACOS  // the menu bar always takes a status item
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        std::fprintf(stderr,
                     "OrvaneBar: this desktop shows no tray icons; the menu is unreachable\n");
    }
#endif
    return app.exec();
}
