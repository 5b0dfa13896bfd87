#include "OrvaneBarMain.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "Alerts.h"
#include "AppDelegate.h"
#include "AppLock.h"
#include "Formatting.h"
#include "Screenshot.h"
#include "Texts.h"

namespace {

// Why the boot's record of original minimums was not used; nothing for a usable or absent one.
const char* recordProblemText(RecordProblem problem) {
    switch (problem) {
        case RecordProblem::unsafe:
            return Texts::recordUnsafe;
        case RecordProblem::unreadable:
            return Texts::recordUnreadable;
        case RecordProblem::malformed:
            return Texts::recordMalformed;
        case RecordProblem::fanCount:
            return Texts::recordFanCount;
        case RecordProblem::sizes:
            return Texts::recordSizes;
        case RecordProblem::none:
        case RecordProblem::missing:
            break;
    }
    return nullptr;
}

}  // namespace

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

    if (const char* problem = recordProblemText(delegate->ctl.recordProblem())) {
        std::fprintf(stderr, "%s%s%s%s\n", Texts::recordIgnoredPrefix, problem,
                     Texts::recordIgnoredTail, ORVANE_MINIMUM_RECORD_PATH);
    }

    QObject::connect(&app, &QCoreApplication::aboutToQuit, delegate.get(),
                     &AppDelegate::applicationWillTerminate);
    delegate->applicationDidFinishLaunching();

    if (screenshot) return saveScreenshots(*delegate, screenshotDir) ? 0 : 1;

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        std::fprintf(stderr,
                     "OrvaneBar: this desktop shows no tray icons; the menu is unreachable\n");
    }
    return app.exec();
}
