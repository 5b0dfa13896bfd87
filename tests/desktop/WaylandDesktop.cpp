#include "WaylandDesktop.h"

#include <sys/stat.h>

#include "PrivateTmp.h"
#include "XDesktop.h"

WaylandDesktop::WaylandDesktop(PrivateTmp& tmp) {
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
    pid_ = tmp.start(
        {"/usr/bin/env", std::string("XDG_RUNTIME_DIR=") + runtimeDir, weston,
         "--backend=headless-backend.so", std::string("--socket=") + socketName, "--idle-time=0"},
        "/tmp/weston.log");
    if (!tmp.waitForSocket(std::string(runtimeDir) + "/" + socketName, pid_,
                           std::chrono::seconds(20)))
        error_ = "weston did not start: " + tmp.read("/tmp/weston.log");
}
