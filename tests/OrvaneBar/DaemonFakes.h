// Stand-ins for what the daemon client talks to: a daemon on a private socket path, a
// listener run by another user, and a privileged launcher that records what it is asked
// to run.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Alerts.h"
#include "DaemonClient.h"
#include "DaemonStarter.h"
#include "PrivilegedLauncher.h"

// The whole content of a file; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// An alert as a test saw it.
struct Alert {
    AlertStyle style;
    std::string title;
    std::string message;
    bool operator==(const Alert&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Alert& alert) {
    return out << (alert.style == AlertStyle::warning ? "warning" : "info") << " [" << alert.title
               << "] " << alert.message;
}

// What a test hands the application for its daemon: how the client reaches it and how the
// starter brings it up.
struct DaemonSetup {
    DaemonClient::Options client;
    DaemonStarter::Options starter;
};

// One thread accepts one connection at a time, reads a request line, records it and
// answers as the test's responder says (in pieces, not at all, or by closing).
class FakeDaemon {
  public:
    struct Reply {
        std::vector<std::string> pieces;  // sent with separate writes, then the connection closes
        bool silent = false;  // after the pieces, keep the connection open until the peer closes
    };
    using Responder = std::function<Reply(const std::string& line)>;

    // Answers "OK pong fans=2" to ping and "OK" to everything else.
    static Reply daemonLike(const std::string& line) {
        return {{line.rfind("ping", 0) == 0 ? "OK pong fans=2\n" : "OK done\n"}, false};
    }

    FakeDaemon(std::string path, Responder responder)
        : path_(std::move(path)), responder_(std::move(responder)) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
        ::unlink(path_.c_str());
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener_, 8) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0) {
            ::close(listener_);
            listener_ = -1;
            return;
        }
        thread_ = std::thread([this] { serve(); });
    }

    ~FakeDaemon() {
        if (listener_ < 0) return;
        (void)!::write(stop_[1], "x", 1);
        thread_.join();
        ::close(listener_);
        ::close(stop_[0]);
        ::close(stop_[1]);
        ::unlink(path_.c_str());
    }

    bool ok() const { return listener_ >= 0; }

    // The request lines received so far, in order, without their line feeds.
    std::vector<std::string> lines() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // The lines other than the liveness probes.
    std::vector<std::string> commands() const {
        std::vector<std::string> result;
        for (const std::string& line : lines()) {
            if (line != "ping") result.push_back(line);
        }
        return result;
    }

  private:
    // Waits for fd to become readable; false when the daemon is being stopped.
    bool waitReadable(int fd) const {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0) {
        }
        return (fds[1].revents & POLLIN) == 0;
    }

    void serve() {
        while (waitReadable(listener_)) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::string line;
            char c;
            while (waitReadable(client) && ::read(client, &c, 1) == 1 && c != '\n')
                line.push_back(c);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back(line);
            }
            const Reply reply = responder_(line);
            for (std::size_t i = 0; i < reply.pieces.size(); ++i) {
                // A pause between pieces, so they tend to arrive in separate reads.
                if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                (void)!::send(client, reply.pieces[i].data(), reply.pieces[i].size(), MSG_NOSIGNAL);
            }
            if (reply.silent) {
                // Until the peer gives up (end of stream) or the daemon stops.
                while (waitReadable(client) && ::read(client, &c, 1) > 0) {
                }
            }
            ::close(client);
        }
    }

    std::string path_;
    Responder responder_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

inline void PrintTo(const DaemonStatus& status, std::ostream* out) {
    static const char* const names[] = {"alive",        "down",    "busy",
                                        "unresponsive", "foreign", "untrustedTool"};
    *out << names[status.kind];
    if (status.kind == DaemonStatus::foreign) *out << " (uid " << status.peerUid << ")";
}

// A listener of another local user (uid 65534) at a socket path, as an attacker would run
// it: a process of its own that, optionally inside a PrivateTmp's mount namespace, first
// sends "quit" to whatever listens there (and waits for the path to be free), then binds
// the path, and answers "OK" to every connection after a short wait. Every byte it
// receives is passed to the test, which can so tell that nothing was sent to it.
class ForeignListener {
  public:
    static constexpr uid_t kUid = 65534;

    // mountNamespace: a /proc/<pid>/ns/mnt path to enter first; empty: stay here.
    ForeignListener(const std::string& path, const std::string& mountNamespace = "",
                    bool quitFirst = false) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        const int ns = mountNamespace.empty() ? -1 : ::open(mountNamespace.c_str(), O_RDONLY);
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(report_, O_CLOEXEC | O_NONBLOCK) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only system calls from here on: the test process has other threads.
            if ((ns >= 0 && (::setns(ns, CLONE_NEWNS) != 0 || ::chdir("/") != 0)) ||
                ::setgroups(0, nullptr) != 0 || ::setgid(kUid) != 0 || ::setuid(kUid) != 0)
                ::_exit(1);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const auto* name = reinterpret_cast<const sockaddr*>(&address);
            if (quitFirst) {
                const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                if (::connect(fd, name, sizeof(address)) == 0) {
                    (void)!::write(fd, "quit\n", 5);
                    char byte;
                    while (::read(fd, &byte, 1) > 0) {
                    }
                }
                ::close(fd);
            }
            const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
            int bound = -1;
            for (int i = 0; i < 1000 && bound != 0; ++i) {
                bound = ::bind(listener, name, sizeof(address));
                if (bound != 0) ::usleep(10'000);  // until the daemon has removed its socket
            }
            if (bound != 0 || ::listen(listener, 8) != 0) ::_exit(1);
            (void)!::write(ready[1], "1", 1);
            for (;;) {
                const int client = ::accept(listener, nullptr, nullptr);
                if (client < 0) continue;
                pollfd p{client, POLLIN, 0};
                char buffer[256];
                if (::poll(&p, 1, 300) > 0) {
                    const ssize_t n = ::read(client, buffer, sizeof(buffer));
                    if (n > 0) (void)!::write(report_[1], buffer, static_cast<std::size_t>(n));
                }
                (void)!::send(client, "OK\n", 3, MSG_NOSIGNAL);
                ::close(client);
            }
        }
        if (ns >= 0) ::close(ns);
        ::close(ready[1]);
        pollfd p{ready[0], POLLIN, 0};
        char byte = 0;
        ready_ = pid_ > 0 && ::poll(&p, 1, 15'000) == 1 && ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~ForeignListener() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(report_[0]);
        ::close(report_[1]);
    }
    ForeignListener(const ForeignListener&) = delete;
    ForeignListener& operator=(const ForeignListener&) = delete;

    bool ok() const { return ready_; }
    // Everything received so far.
    std::string received() {
        char buffer[256];
        ssize_t n;
        while ((n = ::read(report_[0], buffer, sizeof(buffer))) > 0)
            received_.append(buffer, static_cast<std::size_t>(n));
        return received_;
    }

  private:
    pid_t pid_ = -1;
    int report_[2] = {-1, -1};
    bool ready_ = false;
    std::string received_;
};

// Records the scripts it is asked to run, performs the test's action for each, and
// answers with `status` (none: the launcher could not be started; 1: a cancelled prompt).
// Shared, since background work may still hold the launcher after a test has moved on.
struct FakeLauncher {
    std::optional<int> status = 1;
    std::function<void()> action;

    std::vector<std::string> scripts() const {
        const std::lock_guard<std::mutex> lock(mutex);
        return recorded;
    }

    static PrivilegedLauncher bind(const std::shared_ptr<FakeLauncher>& fake) {
        return [fake](const std::string& script) -> std::optional<int> {
            std::function<void()> action;
            {
                const std::lock_guard<std::mutex> lock(fake->mutex);
                fake->recorded.push_back(script);
                action = fake->action;
            }
            if (action) action();
            return fake->status;
        };
    }

    mutable std::mutex mutex;
    std::vector<std::string> recorded;
};
