// smcemu: serves the SMC user-client call over a Unix socket for machines without an SMC.
//
//   smcemu [--profile FILE] [--socket PATH] [--control PATH]
//          [--driver-fs DIR [--driver NAME] [--driver-layout LAYOUT]]
//   smcemu ctl [--control PATH] WORDS...
#include <pthread.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Client.h"
#include "DriverModel.h"
#include "DriverMount.h"
#include "Machine.h"
#include "Profile.h"
#include "Server.h"
#include "ThermalModel.h"

#ifndef SMCEMU_PROFILE_DIR
#define SMCEMU_PROFILE_DIR "profiles"
#endif

namespace {

constexpr const char* kDefaultProfile = "recent-2fan.prof";

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: smcemu [--profile FILE] [--socket PATH] [--control PATH]\n"
                 "              [--driver-fs DIR [--driver mainline|t2] [--driver-layout "
                 "device|hwmon]]\n"
                 "       smcemu ctl [--control PATH] WORDS...\n"
                 "\n"
                 "Serves the SMC call on the Unix socket PATH (default: $SMCEMU_SOCKET, else\n"
                 "/tmp/smcemu.sock) and control commands on PATH.ctl. FILE is a profile; a bare\n"
                 "name is also looked up in %s (default %s).\n"
                 "With --driver-fs, the machine is also served as the Linux applesmc driver's\n"
                 "files, mounted (FUSE) on the directory DIR in a mount namespace of its own:\n"
                 "mainline (the default) is the mainline kernel's driver, found at\n"
                 "/sys/devices/platform/applesmc.768 (fpe2 speeds, manual flags in \"FS! \");\n"
                 "t2 the driver of the T2 patch series, found at\n"
                 "/sys/bus/acpi/devices/APP0001:00 (\"flt \" speeds as floats, F{i}Md).\n"
                 "--driver-layout hwmon puts the fan and temperature files in hwmon/hwmonN/\n"
                 "(fanN_target, pwmN_enable), N counting the machine's sleeps; device (the\n"
                 "default) keeps them in DIR.\n"
                 "\n"
                 "Control commands: load X | clock real|freeze | clock step SECONDS |\n"
                 "  fault KEY info|read|write KR | fault KEY drop | fault slow MS |\n"
                 "  fault call N KR|drop | fault clear | get KEY | set KEY HEX | calls | trace "
                 "[AFTER] | status |\n"
                 "  sleep SECONDS | takeback FAN | pin KEY|cpu CELSIUS | pin KEY|cpu off\n"
                 "\n"
                 "Profile parameters (@name value) and their defaults:\n%s",
                 SMCEMU_PROFILE_DIR, kDefaultProfile, smcemu::modelParameterHelp().c_str());
}

bool isFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A path that exists is used as given; a bare name may also name a shipped profile, with or
// without its ".prof".
std::string resolveProfile(const std::string& name) {
    if (isFile(name) || name.find('/') != std::string::npos) return name;
    std::string dir = SMCEMU_PROFILE_DIR;
    for (const std::string& candidate : {dir + "/" + name, dir + "/" + name + ".prof"})
        if (isFile(candidate)) return candidate;
    return name;
}

// Takes the value of option `name` at argv[i] ("--name VALUE" or "--name=VALUE").
bool optionValue(int argc, char** argv, int& i, const char* name, std::string& value) {
    size_t len = std::strlen(name);
    if (std::strncmp(argv[i], name, len) != 0) return false;
    if (argv[i][len] == '=') {
        value = argv[i] + len + 1;
        return true;
    }
    if (argv[i][len] != '\0') return false;
    if (i + 1 >= argc) {
        std::fprintf(stderr, "smcemu: %s needs a value\n", name);
        std::exit(2);
    }
    value = argv[++i];
    return true;
}

int runControlClient(int argc, char** argv) {
    std::string controlPath;
    int i = 2;
    for (; i < argc; ++i) {
        if (optionValue(argc, argv, i, "--control", controlPath)) continue;
        break;
    }
    if (controlPath.empty()) controlPath = smcemu::controlPathFor(smcemu::defaultSocketPath());
    std::string line;
    for (; i < argc; ++i)
        line += (line.empty() ? "" : " ") + std::string(argv[i]);
    if (line.empty()) {
        std::fprintf(stderr, "usage: smcemu ctl [--control PATH] WORDS...\n");
        return 1;
    }
    smcemu::ControlReply reply = smcemu::sendControlLine(controlPath, line);
    if (!reply.delivered) {
        std::fprintf(stderr, "smcemu ctl: %s\n", reply.error.c_str());
        return 1;
    }
    std::printf("%s\n", reply.line.c_str());
    bool ok =
        reply.line.compare(0, 2, "OK") == 0 && (reply.line.size() == 2 || reply.line[2] == ' ');
    return ok ? 0 : 1;
}

int runServer(int argc, char** argv) {
    std::string profilePath, socketPath, controlPath, driverFs, driverName, layoutName;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            usage(stdout);
            return 0;
        }
        if (optionValue(argc, argv, i, "--profile", profilePath)) continue;
        if (optionValue(argc, argv, i, "--socket", socketPath)) continue;
        if (optionValue(argc, argv, i, "--control", controlPath)) continue;
        if (optionValue(argc, argv, i, "--driver-fs", driverFs)) continue;
        if (optionValue(argc, argv, i, "--driver-layout", layoutName)) continue;
        if (optionValue(argc, argv, i, "--driver", driverName)) continue;
        std::fprintf(stderr, "smcemu: unknown argument \"%s\"\n", argv[i]);
        usage(stderr);
        return 2;
    }
    if (profilePath.empty()) profilePath = kDefaultProfile;
    if (socketPath.empty()) socketPath = smcemu::defaultSocketPath();
    if (controlPath.empty()) controlPath = smcemu::controlPathFor(socketPath);
    std::optional<smcemu::DriverVariant> variant =
        smcemu::parseDriverVariant(driverName.empty() ? "mainline" : driverName);
    if (!variant || (!driverName.empty() && driverFs.empty())) {
        std::fprintf(stderr, variant ? "smcemu: --driver needs --driver-fs\n"
                                     : "smcemu: --driver is mainline or t2\n");
        return 2;
    }
    std::optional<smcemu::DriverLayout> layout =
        smcemu::parseDriverLayout(layoutName.empty() ? "device" : layoutName);
    if (!layout || (!layoutName.empty() && driverFs.empty())) {
        std::fprintf(stderr, layout ? "smcemu: --driver-layout needs --driver-fs\n"
                                    : "smcemu: --driver-layout is device or hwmon\n");
        return 2;
    }

    // Handle termination signals synchronously in this thread; every thread started from
    // here on inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        smcemu::Profile profile = smcemu::loadProfile(resolveProfile(profilePath));
        smcemu::Machine machine(profile);
        std::optional<smcemu::DriverModel> driver;
        if (!driverFs.empty()) driver.emplace(machine, *variant, *layout);
        smcemu::Server server(machine, {socketPath, controlPath});
        server.start();
        std::optional<smcemu::DriverMount> mount;
        if (driver) {
            mount.emplace(*driver, driverFs);
            mount->start();
        }
        std::fprintf(stderr, "smcemu: listening on %s\n", socketPath.c_str());
        if (mount) std::fprintf(stderr, "smcemu: driver files on %s\n", driverFs.c_str());
        int signal = 0;
        while (sigwait(&stopSignals, &signal) != 0) {
        }
        if (mount) mount->stop();
        server.stop();
    } catch (const smcemu::ProfileError& e) {
        std::fprintf(stderr, "smcemu: %s\n", e.what());
        return 1;
    } catch (const smcemu::DriverError& e) {
        std::fprintf(stderr, "smcemu: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "smcemu: %s\n", e.what());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc >= 2 && !std::strcmp(argv[1], "ctl")) return runControlClient(argc, argv);
    return runServer(argc, argv);
}
