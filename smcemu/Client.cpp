#include "Client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Server.h"
#include "SocketTimeouts.h"

namespace smcemu {

int connectUnix(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "socket path \"" + path + "\" is empty or too long";
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        error = "cannot connect to " + path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

ControlReply sendControlLine(const std::string& path, const std::string& line, int timeoutMs) {
    ControlReply reply;
    if (line.find('\n') != std::string::npos) {
        reply.error = "a command must not contain a newline";
        return reply;
    }
    int fd = connectUnix(path, reply.error);
    if (fd < 0) return reply;
    setSocketTimeouts(fd, std::chrono::milliseconds(timeoutMs));

    std::string request = line + "\n";
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reply.error = std::string("cannot send the command: ") + std::strerror(errno);
            close(fd);
            return reply;
        }
        sent += static_cast<size_t>(n);
    }

    std::string received;
    char buf[512];
    while (received.find('\n') == std::string::npos && received.size() <= kMaxControlLine) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            reply.error = (errno == EAGAIN || errno == EWOULDBLOCK)
                              ? std::string("no reply from the emulator")
                              : std::string("cannot read the reply: ") + std::strerror(errno);
            close(fd);
            return reply;
        }
        if (n == 0) break;
        received.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    size_t end = received.find('\n');
    if (end == std::string::npos) {
        reply.error = "the emulator closed the connection without a complete reply";
        return reply;
    }
    reply.delivered = true;
    reply.line = received.substr(0, end);
    return reply;
}

}  // namespace smcemu
