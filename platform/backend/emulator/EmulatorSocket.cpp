#include "EmulatorSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "Paths.h"
#include "SocketTimeouts.h"

namespace emulator {

namespace {

// A call the service has not answered by then fails, so a stalled emulator cannot
// hang its clients (the tray application reads the SMC on its main thread).
constexpr int kCallTimeoutSeconds = 5;

// The user who invoked root through sudo, when the variable names one.
std::optional<uid_t> invokingUser() {
    const char* env = std::getenv(paths::kSudoUidEnv);
    if (env == nullptr || *env < '0' || *env > '9') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long long uid = std::strtoull(env, &end, 10);
    if (errno != 0 || *end != '\0' || uid >= static_cast<uid_t>(-1)) return std::nullopt;
    return static_cast<uid_t>(uid);
}

bool trustedOwner(uid_t uid) {
    const auto invoker = invokingUser();
    return uid == 0 || (invoker && uid == *invoker);
}

// For root: the socket file itself and every directory on the way to it are no symbolic
// link, and root or the invoking user owns the socket.
bool socketFileTrusted(const std::string& path) {
    struct stat st {};
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        if (::lstat(path.substr(0, at).c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
    }
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && trustedOwner(st.st_uid);
}

// For root: the process serving the socket runs as root or as the invoking user. The file
// checks alone leave a moment in which it could be swapped; the listener cannot be.
bool peerTrusted(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer &&
           trustedOwner(peer.uid);
}

}  // namespace

std::string socketPath() {
    const char* env = std::getenv(paths::kEmulatorSocketEnv);
    return env != nullptr ? env : "";
}

int connectService(const std::string& path) {
    const bool root = ::geteuid() == 0;
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) return -1;
    if (root && !socketFileTrusted(path)) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0 || (root && !peerTrusted(fd))) {
        ::close(fd);
        return -1;
    }
    setSocketTimeouts(fd, std::chrono::seconds(kCallTimeoutSeconds));
    return fd;
}

}  // namespace emulator
