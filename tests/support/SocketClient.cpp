#include "SocketClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <utility>

SocketClient::SocketClient(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) close();
}

SocketClient SocketClient::adopt(int fd) {
    SocketClient client;
    client.fd_ = fd;
    return client;
}

SocketClient::~SocketClient() {
    close();
}

SocketClient::SocketClient(SocketClient&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), buffered_(std::move(other.buffered_)) {}

SocketClient& SocketClient::operator=(SocketClient&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        buffered_ = std::move(other.buffered_);
    }
    return *this;
}

void SocketClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool SocketClient::send(const std::string& bytes) {
    if (fd_ < 0) return false;
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool SocketClient::fill(const Deadline& deadline) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, deadline.leftMs()) != 1) return false;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    buffered_.append(buf, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> SocketClient::readLine(std::chrono::milliseconds limit) {
    const Deadline deadline(limit);
    std::size_t lf;
    while ((lf = buffered_.find('\n')) == std::string::npos) {
        if (!fill(deadline)) return std::nullopt;
    }
    std::string line = buffered_.substr(0, lf);
    buffered_.erase(0, lf + 1);
    return line;
}

std::string SocketClient::readAll(std::chrono::milliseconds limit) {
    const Deadline deadline(limit);
    while (fill(deadline)) {
    }
    return std::exchange(buffered_, std::string());
}

bool SocketClient::closedByPeer(std::chrono::milliseconds limit) {
    if (fd_ < 0) return true;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, Deadline(limit).leftMs()) != 1) return false;
    char c;
    return ::recv(fd_, &c, 1, MSG_PEEK) <= 0;
}

std::string SocketClient::request(const std::string& line) {
    if (!sendLine(line)) return "";
    return readLine().value_or("");
}

std::optional<std::string> SocketClient::ask(const std::string& path, const std::string& line) {
    SocketClient client(path);
    if (!client.connected()) return std::nullopt;
    return client.request(line);
}

bool SocketClient::canConnect(const std::string& path) {
    return SocketClient(path).connected();
}

bool makeStaleSocket(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return bound;
}
