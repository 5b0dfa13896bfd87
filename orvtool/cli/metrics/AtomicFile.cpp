#include "AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "WriteAll.h"

namespace metrics {

namespace {

using Step = WriteFailure::Step;

// Closes the descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

std::optional<WriteFailure> failed(Step step, int error = errno) {
    return WriteFailure{step, error};
}

}  // namespace

std::string temporaryName(const std::string& fileName) {
    return "." + fileName + "." + std::to_string(::getpid()) + ".tmp";
}

std::optional<WriteFailure> replaceFile(const std::string& path, const std::string& contents) {
    const std::size_t slash = path.rfind('/');
    const std::string dir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return failed(Step::badPath, EINVAL);

    Fd dirFd{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    if (dirFd.fd < 0) return failed(Step::openDirectory);
    if (::geteuid() == 0) {
        struct stat st {};
        if (::fstat(dirFd.fd, &st) != 0) return failed(Step::openDirectory);
        if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return failed(Step::untrustedDirectory, 0);
    }

    const std::string temporary = temporaryName(name);
    Fd file{::openat(dirFd.fd, temporary.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (file.fd < 0) return failed(Step::createTemporary);
    // From here on the temporary is this process's own: removed when anything fails.
    const auto removing = [&](Step step) {
        const int error = errno;
        ::unlinkat(dirFd.fd, temporary.c_str(), 0);
        return failed(step, error);
    };
    if (!writeAll(file.fd, contents)) return removing(Step::write);
    if (::fchmod(file.fd, 0644) != 0) return removing(Step::mode);
    if (::fsync(file.fd) != 0) return removing(Step::sync);
    if (::close(file.fd) != 0) {
        file.fd = -1;
        return removing(Step::write);
    }
    file.fd = -1;
    if (::renameat(dirFd.fd, temporary.c_str(), dirFd.fd, name.c_str()) != 0)
        return removing(Step::rename);
    // The rename itself lasts once the directory is synced; a failure there leaves the new
    // file in place, so it is no failure of the replacement.
    ::fsync(dirFd.fd);
    return std::nullopt;
}

}  // namespace metrics
