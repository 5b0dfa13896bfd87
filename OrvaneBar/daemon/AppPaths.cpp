#include "AppPaths.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QStringList>

#include "Files.h"

namespace AppPaths {

namespace {

using Files::fileExists;

std::string appending(const std::string& dir, const char* name) {
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string firstArgument() {
    if (QCoreApplication::instance() == nullptr) return {};
    const QStringList args = QCoreApplication::arguments();
    return args.isEmpty() ? std::string() : args.front().toStdString();
}

}  // namespace

std::string executablePathFrom(const std::string& argv0) {
    if (argv0.find('/') == std::string::npos) {
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
        if (n > 0) return std::string(buffer, static_cast<std::size_t>(n));
        return argv0;
    }
    // A path that no longer resolves is used as given.
    char* resolved = ::realpath(argv0.c_str(), nullptr);
    if (resolved == nullptr) return argv0;
    std::string path(resolved);
    ::free(resolved);
    return path;
}

std::string executablePath() {
    return executablePathFrom(firstArgument());
}

std::string deletingLastComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const std::size_t slash = p.rfind('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

std::string exeDir() {
    return deletingLastComponent(executablePath());
}

std::string orvtoolPathFor(const std::string& exe) {
    const std::string besideExecutable = appending(deletingLastComponent(exe), "orvtool");
    std::string bundleFolder = exe;
    for (int i = 0; i < 4; ++i)
        bundleFolder = deletingLastComponent(bundleFolder);
    const std::string besideBundle = appending(bundleFolder, "orvtool");

    if (fileExists(besideExecutable)) return besideExecutable;
    if (fileExists(besideBundle)) return besideBundle;
    return besideExecutable;
}

std::string orvtoolPath() {
    return orvtoolPathFor(executablePath());
}

}  // namespace AppPaths
