#include "PrivilegedLauncher.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "Paths.h"

extern char** environ;

std::optional<int> runProcess(const std::vector<std::string>& args, bool newSession) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) return std::nullopt;
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    if (::posix_spawnattr_init(&attributes) != 0) {
        ::posix_spawn_file_actions_destroy(&actions);
        return std::nullopt;
    }
#ifdef POSIX_SPAWN_SETSID
    if (newSession) ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
#else
    (void)newSession;
#endif
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return std::nullopt;

    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != pid) return std::nullopt;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string daemonStartScript(const std::string& toolPath) {
#ifdef __APPLE__
    // The whole privileged tree is in a new session already. The prompt's root shell does
    // not say who asked for it (pkexec does, in PKEXEC_UID): the daemon learns its owner,
    // whom it lets make it quit, from the variable.
    const std::string detach =
        std::string(paths::kOwnerUidEnv) + "=" + std::to_string(::getuid()) + " ";
#else
    const std::string detach = "setsid ";
#endif
    return "(" + detach + shellQuote(toolPath) + " serve </dev/null >/dev/null 2>&1 &)";
}

std::string adminAppleScript(const std::string& shellScript) {
    std::string literal;
    for (char c : shellScript) {
        if (c == '\\' || c == '"') literal += '\\';
        literal += c;
    }
    return "do shell script \"" + literal + "\" with administrator privileges";
}

std::optional<int> runAsAdministrator(const std::string& shellScript) {
#ifdef __APPLE__
    return runProcess({"/usr/bin/osascript", "-e", adminAppleScript(shellScript)}, true);
#else
    if (::geteuid() == 0) return runProcess({"/bin/sh", "-c", shellScript});
    return runProcess({"pkexec", "/bin/sh", "-c", shellScript});
#endif
}
