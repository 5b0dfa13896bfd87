// Runs the suite inside one QApplication on the offscreen platform, with a private
// home, settings and runtime folder for the whole process. Alerts are printed rather
// than shown, so that no test can wait for a dialog nobody dismisses.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QTemporaryDir>

#include "Alerts.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    const QByteArray root = home.path().toUtf8();
    ::setenv("HOME", root.constData(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").constData(), 1);
    ::setenv("XDG_RUNTIME_DIR", root.constData(), 1);

    QApplication app(argc, argv);
    QApplication::setOrganizationName("Orvane");
    QApplication::setApplicationName("OrvaneBarTests");
    setAlertPresenter(printAlertToStderr);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
