#include "Server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Client.h"

namespace smcemu {
namespace {

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Reads exactly `size` bytes. False when the peer closes first or on an error.
bool readFull(int fd, uint8_t* data, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = recv(fd, data + got, size - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Writes all bytes; a vanished peer gives false, never SIGPIPE.
bool writeAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Prepares `path` for a new socket: a stale socket file is removed; a live one (another
// process accepts on it) or any other kind of file is an error.
void clearSocketPath(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return;
        throw ServerError(systemError("cannot inspect " + path));
    }
    if (!S_ISSOCK(st.st_mode)) throw ServerError(path + " exists and is not a socket");
    std::string ignored;
    int fd = connectUnix(path, ignored);
    if (fd >= 0) {
        close(fd);
        throw ServerError("another process is listening on " + path);
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        throw ServerError(systemError("cannot remove the stale socket " + path));
}

// Removes the socket file at `path` if it is still the one this server created, so a newer
// emulator's socket at the same path survives.
void removeOwnSocket(const std::string& path, ino_t inode) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == inode)
        unlink(path.c_str());
}

}  // namespace

std::string defaultSocketPath() {
    const char* env = std::getenv("SMCEMU_SOCKET");
    if (env && *env) return env;
    return "/tmp/smcemu.sock";
}

std::string controlPathFor(const std::string& socketPath) {
    return socketPath + ".ctl";
}

Server::Server(Machine& machine, ServerOptions options)
    : machine_(machine), options_(std::move(options)) {}

Server::~Server() {
    stop();
}

int Server::listenOn(const std::string& path, unsigned mode, ino_t& inode) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        throw ServerError("socket path \"" + path + "\" is empty or longer than " +
                          std::to_string(sizeof addr.sun_path - 1) + " bytes");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    clearSocketPath(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw ServerError(systemError("socket"));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::string message = systemError("cannot bind " + path);
        close(fd);
        throw ServerError(message);
    }
    if (chmod(path.c_str(), mode) != 0 || listen(fd, 64) != 0) {
        std::string message = systemError("cannot listen on " + path);
        close(fd);
        unlink(path.c_str());
        throw ServerError(message);
    }
    struct stat st {};
    inode = lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    return fd;
}

void Server::start() {
    if (started_) return;
    if (options_.socketPath == options_.controlPath)
        throw ServerError("the SMC socket and the control socket need different paths");
    if (pipe2(wakePipe_, O_CLOEXEC) != 0) throw ServerError(systemError("pipe"));
    try {
        // Ordinary users must be able to open the SMC; control is for the owner only.
        smcFd_ = listenOn(options_.socketPath, 0666, smcInode_);
        controlFd_ = listenOn(options_.controlPath, 0600, controlInode_);
        acceptThread_ = std::thread([this] { acceptLoop(); });
    } catch (...) {
        if (smcFd_ >= 0) removeOwnSocket(options_.socketPath, smcInode_);
        if (controlFd_ >= 0) removeOwnSocket(options_.controlPath, controlInode_);
        for (int* fd : {&smcFd_, &controlFd_, &wakePipe_[0], &wakePipe_[1]}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
        throw;
    }
    started_ = true;
}

void Server::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!started_ || stopping_) return;
        stopping_ = true;
    }
    stopSignal_.notify_all();
    char wake = 'x';
    while (write(wakePipe_[1], &wake, 1) < 0 && errno == EINTR) {
    }
    acceptThread_.join();

    close(smcFd_);
    close(controlFd_);
    removeOwnSocket(options_.socketPath, smcInode_);
    removeOwnSocket(options_.controlPath, controlInode_);
    smcFd_ = controlFd_ = -1;

    for (auto& conn : connections_)
        shutdown(conn->fd, SHUT_RDWR);
    for (auto& conn : connections_) {
        conn->thread.join();
        close(conn->fd);
    }
    connections_.clear();
    close(wakePipe_[0]);
    close(wakePipe_[1]);
    wakePipe_[0] = wakePipe_[1] = -1;
}

void Server::acceptLoop() {
    while (true) {
        pollfd fds[3] = {{smcFd_, POLLIN, 0}, {controlFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (poll(fds, 3, 1000) < 0) {
            // Only a transient shortage can make poll fail here; try again shortly.
            if (errno != EINTR) waitUnlessStopping(100);
            continue;
        }
        if (fds[2].revents) return;
        reapFinished();
        if (fds[0].revents & POLLIN) accept(smcFd_, false);
        if (fds[1].revents & POLLIN) accept(controlFd_, true);
    }
}

void Server::reapFinished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            close((*it)->fd);
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::accept(int listenFd, bool control) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors: back off instead of spinning on the pending connection.
        if (errno == EMFILE || errno == ENFILE) waitUnlessStopping(100);
        return;
    }
    size_t active = 0;
    for (const auto& conn : connections_)
        if (conn->control == control && !conn->finished) ++active;
    if (active >= (control ? options_.maxControlClients : options_.maxClients)) {
        close(fd);
        return;
    }
    ucred cred{};
    socklen_t len = sizeof cred;
    const bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
    const bool privileged = known && cred.uid == 0;
    const int peer = known ? cred.pid : 0;

    auto conn = std::make_unique<Connection>();
    conn->fd = fd;
    conn->control = control;
    Connection& ref = *conn;
    try {
        if (control)
            ref.thread = std::thread([this, &ref] { serveControl(ref); });
        else
            ref.thread =
                std::thread([this, &ref, privileged, peer] { serveSmc(ref, privileged, peer); });
    } catch (const std::system_error&) {
        close(fd);
        return;
    }
    connections_.push_back(std::move(conn));
}

bool Server::waitUnlessStopping(int ms) {
    std::unique_lock lock(mutex_);
    return !stopSignal_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void Server::serveSmc(Connection& conn, bool privileged, int peer) {
    uint8_t request[kRequestSize];
    uint8_t reply[kReplySize];
    while (readFull(conn.fd, request, sizeof request)) {
        uint32_t selector = request[0] | (request[1] << 8) | (request[2] << 16) |
                            (static_cast<uint32_t>(request[3]) << 24);
        CallOutcome outcome = machine_.serve(selector, request + 4, reply + 4, privileged, peer);
        if (outcome.drop) break;
        if (outcome.delayMs > 0 && !waitUnlessStopping(outcome.delayMs)) break;
        auto kr = static_cast<uint32_t>(outcome.kr);
        for (int i = 0; i < 4; ++i)
            reply[i] = static_cast<uint8_t>(kr >> (8 * i));
        if (!writeAll(conn.fd, reply, sizeof reply)) break;
    }
    shutdown(conn.fd, SHUT_RDWR);
    conn.finished = true;
}

void Server::serveControl(Connection& conn) {
    std::string pending;
    char buf[1024];
    bool open = true;
    while (open) {
        ssize_t n = recv(conn.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        size_t start = 0, end;
        while (open && (end = pending.find('\n', start)) != std::string::npos) {
            std::string reply;
            if (end - start + 1 > kMaxControlLine) {
                reply = "ERR line too long";
                open = false;
            } else {
                reply = machine_.control(std::string_view(pending).substr(start, end - start));
            }
            reply += '\n';
            if (!writeAll(conn.fd, reply.data(), reply.size())) open = false;
            start = end + 1;
        }
        pending.erase(0, start);
        if (open && pending.size() >= kMaxControlLine) {
            writeAll(conn.fd, "ERR line too long\n", 18);
            open = false;
        }
    }
    shutdown(conn.fd, SHUT_RDWR);
    conn.finished = true;
}

}  // namespace smcemu
