#include "EmulatorClient.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace emulator {

namespace {

// A call the service has not answered by then fails, so a stalled emulator cannot
// hang its clients (the tray application reads the SMC on its main thread).
constexpr int kCallTimeoutSeconds = 5;

bool sendAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool recvAll(int fd, unsigned char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void putLE32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t getLE32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// The user who invoked root through sudo, when SUDO_UID names one.
std::optional<uid_t> invokingUser() {
    const char* env = std::getenv("SUDO_UID");
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

bool socketConfigured() {
    const char* env = std::getenv("SMCEMU_SOCKET");
    return env != nullptr && *env != '\0';
}

std::string socketPath() {
    return socketConfigured() ? std::getenv("SMCEMU_SOCKET") : "";
}

int connectService() {
    const std::string path = socketPath();
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
    timeval timeout{kCallTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    return fd;
}

kern_return_t call(int fd, std::uint32_t selector, const void* input, void* output,
                   std::size_t blockSize, bool& lost) {
    lost = false;
    std::vector<unsigned char> request(4 + blockSize);
    putLE32(request.data(), selector);
    std::memcpy(request.data() + 4, input, blockSize);
    std::vector<unsigned char> reply(4 + blockSize);
    if (!sendAll(fd, request.data(), request.size()) || !recvAll(fd, reply.data(), reply.size())) {
        lost = true;
        return kIOReturnNotResponding;
    }
    std::memcpy(output, reply.data() + 4, blockSize);
    return static_cast<kern_return_t>(getLE32(reply.data()));
}

}  // namespace emulator
