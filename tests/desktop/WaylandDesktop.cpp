#include "WaylandDesktop.h"

#include <sys/stat.h>

#include <QDir>

#include "PrivateTmp.h"
#include "XDesktop.h"

WaylandDesktop::WaylandDesktop(PrivateTmp& tmp) : tmp_(tmp) {
    const std::string weston = findProgram("weston");
    if (weston.empty()) {
        error_ = "weston is needed (scripts/setup.sh installs it)";
        return;
    }
    // The compositor insists on a runtime folder only its user can enter.
    const std::string runtime = tmp.path(runtimeDir);
    if (::mkdir(runtime.c_str(), 0700) != 0 && ::chmod(runtime.c_str(), 0700) != 0) {
        error_ = "no runtime folder for the compositor";
        return;
    }
    pid_ = tmp.start({"/usr/bin/env", std::string("XDG_RUNTIME_DIR=") + runtimeDir, weston,
                      "--backend=headless-backend.so", std::string("--socket=") + socketName,
                      // Pixels in memory, and the screenshooter (a debugging protocol).
                      "--use-pixman", "--debug", "--width=800", "--height=500", "--idle-time=0"},
                     "/tmp/weston.log");
    if (!tmp.waitForSocket(std::string(runtimeDir) + "/" + socketName, pid_,
                           std::chrono::seconds(20)))
        error_ = "weston did not start: " + tmp.read("/tmp/weston.log");
}

QImage WaylandDesktop::screenshot() const {
    // The tool saves into its working folder; a fresh one tells which file is new.
    static int count = 0;
    const std::string dir = "/tmp/screenshots-" + std::to_string(++count);
    ::mkdir(tmp_.path(dir).c_str(), 0700);
    const std::string env =
        std::string("XDG_RUNTIME_DIR=") + runtimeDir + " WAYLAND_DISPLAY=" + socketName;
    if (tmp_.run({"/bin/sh", "-c", "cd " + dir + " && " + env + " weston-screenshooter"},
                 "/tmp/screenshooter.log") != 0)
        return QImage();
    const QStringList shots = QDir(QString::fromStdString(tmp_.path(dir)))
                                  .entryList({QStringLiteral("*.png")}, QDir::Files);
    if (shots.size() != 1) return QImage();
    return QImage(QString::fromStdString(tmp_.path(dir)) + "/" + shots.first());
}
