#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include "AppFixture.h"
#include "AppLock.h"
#include "SMCError.h"
#include "Texts.h"

namespace {

struct AppRun {
    int exitCode = -1;
    std::string err;
};

// Runs the application unattended (alerts on standard error) with the given home.
AppRun runApp(const QString& home, const QStringList& args, const QString& smcSocket) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("SMCEMU_SOCKET", smcSocket);
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(ORVANEBAR_BINARY, QStringList{"--print-alerts"} + args);
    AppRun run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.err = process.readAllStandardError().toStdString();
    return run;
}

}  // namespace

// The application started as a program, with the fixture's folder as its home.
using Startup = AppFixture;

TEST(AppLock, OneHolderAtATime) {
    QTemporaryDir tmp;
    const std::string home = tmp.filePath("new-user").toStdString();  // nothing exists yet

    const int fd = acquireAppLock(home);
    ASSERT_GE(fd, 0);
    struct stat info;
    ASSERT_EQ(::stat(appLockPath(home).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u & ~0022u);
    EXPECT_EQ(appLockPath(home), home + "/Library/Application Support/Orvane/app.lock");

    // Another process is refused while the lock is held.
    const pid_t child = ::fork();
    if (child == 0) ::_exit(acquireAppLock(home) < 0 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_LT(acquireAppLock(home), 0);

    ::close(fd);
    const int again = acquireAppLock(home);
    EXPECT_GE(again, 0);
    ::close(again);

    // A home where the folder cannot be made: refused, not crashed.
    EXPECT_LT(acquireAppLock("/dev/null"), 0);
}

TEST_F(Startup, SecondCopyReportsAlreadyRunning) {
    const int fd = acquireAppLock(dir.path().toStdString());
    ASSERT_GE(fd, 0);
    AppRun run = runApp(dir.path(), {}, dir.filePath("no-smc.sock"));
    ::close(fd);
    EXPECT_EQ(run.exitCode, 1);
    const std::string expected =
        Texts::alreadyRunningTitle + std::string("\n") + Texts::alreadyRunningMessage + "\n";
    EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
}

TEST_F(Startup, MissingSMCReportsInitFailure) {
    AppRun run = runApp(dir.path(), {}, dir.filePath("no-smc.sock"));
    EXPECT_EQ(run.exitCode, 1);
    const std::string expected = Texts::smcInitFailedTitle + std::string("\n") +
                                 SMCError::serviceNotFound().description() +
                                 Texts::smcInitFailedSuffix + "\n";
    EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
}

TEST_F(Startup, ScreenshotsOfTheTrayIconAndTheMenu) {
    const Emulator& emu = startMachine(machines::modeKeys);
    const QString shots = dir.filePath("shots");
    AppRun run =
        runApp(dir.path(), {"--screenshot", shots}, QString::fromStdString(emu.socketPath()));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_FALSE(QImage(QDir(shots).filePath("tray-icon.png")).isNull());
    const QImage menu(QDir(shots).filePath("menu.png"));
    EXPECT_GE(menu.width(), 300);
    EXPECT_GE(menu.height(), 2 * 58);
    // The sensors' submenu: the shipped machine's 14 sensors and the line that counts the rest.
    const QImage sensors(QDir(shots).filePath("sensors.png"));
    EXPECT_GE(sensors.height(), 15 * 16);
}
