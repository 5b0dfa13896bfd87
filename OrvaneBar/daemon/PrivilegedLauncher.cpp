#include "PrivilegedLauncher.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

extern char** environ;

std::optional<int> runProcess(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) return std::nullopt;
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
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

std::string daemonStartScript(const std::string& toolPath, const std::string& logPath) {
    return "(" + shellQuote(toolPath) + " serve >" + shellQuote(logPath) + " 2>&1 &)";
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
    return runProcess({"/usr/bin/osascript", "-e", adminAppleScript(shellScript)});
#else
    if (::geteuid() == 0) return runProcess({"/bin/sh", "-c", shellScript});
    return runProcess({"pkexec", "/bin/sh", "-c", shellScript});
#endif
}
