#include "AppPaths.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

#include <QCoreApplication>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

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

// The path with symbolic links resolved; none when it does not resolve.
std::optional<std::string> resolved(const char* path) {
    char* real = ::realpath(path, nullptr);
    if (real == nullptr) return std::nullopt;
    std::string result(real);
    ::free(real);
    return result;
}

// The executable of this process as the system records it.
std::optional<std::string> runningExecutable() {
#ifdef __APPLE__
    std::vector<char> buffer(PATH_MAX);
    auto size = static_cast<uint32_t>(buffer.size());
    if (::_NSGetExecutablePath(buffer.data(), &size) != 0) {
        buffer.resize(size);  // the size it needs
        if (::_NSGetExecutablePath(buffer.data(), &size) != 0) return std::nullopt;
    }
    return resolved(buffer.data());
#else
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
#endif
}

}  // namespace

std::string executablePathFrom(const std::string& argv0) {
    if (argv0.find('/') == std::string::npos) return runningExecutable().value_or(argv0);
    // A path that no longer resolves is used as given.
    return resolved(argv0.c_str()).value_or(argv0);
}

std::string executablePath() {
#ifdef __APPLE__
    // The system's record is exact however the application was opened (Finder, open(1),
    // a login item); the first argument is only the fallback.
    if (std::optional<std::string> path = runningExecutable()) return *path;
#endif
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
