// What the tray application started by the desktop tests gets in its environment so that a
// sanitized build's leak check at exit reports the application's leaks and nothing else.
#pragma once

#include <string>
#include <vector>

// Entries for /usr/bin/env: the suppressions for third-party libraries whose allocations live
// as long as the process (tests/desktop/lsan.supp) and, in a sanitized build, the graphics
// driver kept loaded until the leak check. Under Wayland, Qt initialises EGL, whose Mesa
// driver (swrast_dri.so) is loaded with dlopen and unloaded again when EGL terminates at
// exit; what that driver's globals pointed to would then be reported as a direct leak from
// an unknown module. A preloaded library is never unloaded, so the driver stays mapped and
// its memory stays reachable. The sanitizer's runtime must come first among preloaded
// libraries, so it is preloaded too.
inline std::vector<std::string> leakCheckEnvironment() {
    std::vector<std::string> env{"LSAN_OPTIONS=suppressions=" ORVANE_SOURCE_DIR
                                 "/tests/desktop/lsan.supp:print_suppressions=0"};
#if defined(ORVANE_SANITIZER_RUNTIME) && defined(ORVANE_MESA_DRIVER)
    env.push_back("LD_PRELOAD=" ORVANE_SANITIZER_RUNTIME ":" ORVANE_MESA_DRIVER);
#endif
    return env;
}
