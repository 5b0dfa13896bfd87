// Whole-process figures for the control daemon and the command line, against the
// emulator: "ping" round trips on a fresh connection per request (as the tray
// application does it), on one kept connection and on one kept connection beside
// idle ones, `status` on a fresh connection, commands per second, the same for a bare
// Unix-socket echo server as the limit, the daemon's resident memory before and after 10,000
// requests and after an endless line, and `orvtool rpm` and `orvtool metrics` as whole
// processes.
//
// The daemon's socket path is fixed, so the program first moves into a private
// mount namespace with its own /tmp (needs root).
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Emulator.h"
#include "PrivateTmp.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kDaemonSocket = "/tmp/orvane.sock";
constexpr const char* kEchoSocket = "/tmp/echo.sock";

int connectTo(const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof(addr.sun_path) - 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void sendAll(int fd, const std::string& s) {
    std::size_t off = 0;
    while (off < s.size()) {
        ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send failed");
        off += static_cast<std::size_t>(n);
    }
}

// Reads one line; `pending` keeps bytes that arrived after it.
std::string readLine(int fd, std::string& pending) {
    for (;;) {
        auto lf = pending.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            return line;
        }
        char buf[1024];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) throw std::runtime_error("connection closed");
        pending.append(buf, static_cast<std::size_t>(n));
    }
}

struct Figures {
    double medianUs;
    double p99Us;
    double perSecond;
};

Figures measure(int count, const std::function<void()>& request) {
    std::vector<double> us;
    us.reserve(count);
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        auto t0 = Clock::now();
        request();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    double total = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100], count / total};
}

Figures freshConnection(const char* path, int count, const std::string& request = "ping\n") {
    return measure(count, [path, &request] {
        int fd = connectTo(path);
        if (fd < 0) throw std::runtime_error("connect failed");
        std::string pending;
        sendAll(fd, request);
        readLine(fd, pending);
        ::close(fd);
    });
}

Figures keptConnection(const char* path, int count) {
    int fd = connectTo(path);
    if (fd < 0) throw std::runtime_error("connect failed");
    std::string pending;
    Figures f = measure(count, [&] {
        sendAll(fd, "ping\n");
        readLine(fd, pending);
    });
    ::close(fd);
    return f;
}

// Kept connections to the daemon and to the echo server, measured in alternating blocks so
// that both see the same moments of a busy machine; the ratio of their medians is the
// daemon's own cost.
std::pair<Figures, Figures> keptSideBySide(const char* daemonPath, const char* echoPath,
                                           int count) {
    constexpr int kBlock = 500;
    const int daemonFd = connectTo(daemonPath);
    const int echoFd = connectTo(echoPath);
    if (daemonFd < 0 || echoFd < 0) throw std::runtime_error("connect failed");
    std::string daemonPending, echoPending;
    std::vector<double> daemonUs, echoUs;
    const auto block = [](int fd, std::string& pending, std::vector<double>& us) {
        for (int i = 0; i < kBlock; ++i) {
            const auto t0 = Clock::now();
            sendAll(fd, "ping\n");
            readLine(fd, pending);
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
    };
    for (int done = 0; done < count; done += kBlock) {
        block(daemonFd, daemonPending, daemonUs);
        block(echoFd, echoPending, echoUs);
    }
    ::close(daemonFd);
    ::close(echoFd);
    const auto figures = [](std::vector<double>& us) {
        std::sort(us.begin(), us.end());
        const double total = std::accumulate(us.begin(), us.end(), 0.0) / 1e6;
        return Figures{us[us.size() / 2], us[us.size() * 99 / 100], us.size() / total};
    };
    return {figures(daemonUs), figures(echoUs)};
}

// A line echo server, one connection at a time: the limit of a round trip over the socket.
pid_t startEchoServer() {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::unlink(kEchoSocket);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kEchoSocket, sizeof(addr.sun_path) - 1);
    int lfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(lfd, 8) != 0) {
        ::_exit(1);
    }
    for (;;) {
        int c = ::accept(lfd, nullptr, nullptr);
        if (c < 0) continue;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(c, buf, sizeof buf)) > 0) {
            if (::send(c, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
        }
        ::close(c);
    }
}

long rssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

int openFds(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    int n = 0;
    if (FILE* p = ::popen(("ls " + dir + " | wc -l").c_str(), "r")) {
        if (std::fscanf(p, "%d", &n) != 1) n = -1;
        ::pclose(p);
    }
    return n;
}

void waitForSocket(const char* path) {
    for (int i = 0; i < 500; ++i) {
        int fd = connectTo(path);
        if (fd >= 0) {
            ::close(fd);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error(std::string("no server at ") + path);
}

void print(const char* what, const Figures& f) {
    std::printf("%-44s median %8.1f us   p99 %8.1f us   %9.0f req/s\n", what, f.medianUs, f.p99Us,
                f.perSecond);
}

// One `orvtool WORD` run after another as whole processes: wall time and peak memory.
bool wholeProcess(const char* word) {
    constexpr int kRuns = 100;
    std::vector<double> ms;
    long peakKiB = 0;
    for (int i = 0; i < kRuns; ++i) {
        auto t0 = Clock::now();
        std::fflush(stdout);  // the child must not repeat buffered output
        pid_t pid = ::fork();
        if (pid == 0) {
            ::freopen("/dev/null", "w", stdout);
            ::execl(ORVTOOL_BINARY, "orvtool", word, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        peakKiB = std::max(peakKiB, usage.ru_maxrss);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "orvtool %s failed\n", word);
            return false;
        }
    }
    std::sort(ms.begin(), ms.end());
    std::printf("orvtool %s: median %.2f ms, p99 %.2f ms wall over %d runs; peak RSS %ld KiB\n",
                word, ms[ms.size() / 2], ms[ms.size() * 99 / 100], kRuns, peakKiB);
    return true;
}

}  // namespace

int main() {
    if (!TmpCover().enter()) {
        std::perror("daemon_bench: a private /tmp needs root");
        return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));

    pid_t daemon = ::fork();
    if (daemon == 0) {
        ::freopen("/dev/null", "w", stderr);
        ::execl(ORVTOOL_BINARY, "orvtool", "serve", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    pid_t echo = startEchoServer();
    waitForSocket(kDaemonSocket);
    waitForSocket(kEchoSocket);

    constexpr int kRequests = 10000;
    long rssStart = rssKiB(daemon);
    int fdsStart = openFds(daemon);
    print("daemon: ping, fresh connection each", freshConnection(kDaemonSocket, kRequests / 2));
    print("bare echo: ping, fresh connection each", freshConnection(kEchoSocket, kRequests / 2));
    // The report the tray polls and the metrics' timer asks for: every fan read on the SMC.
    print("daemon: status, fresh connection each",
          freshConnection(kDaemonSocket, kRequests / 10, "status\n"));
    const auto [keptDaemon, keptEcho] = keptSideBySide(kDaemonSocket, kEchoSocket, kRequests);
    print("daemon: ping, one kept connection", keptDaemon);
    print("bare echo: ping, one kept connection", keptEcho);
    std::printf("kept-connection ping, daemon / bare echo (medians, alternating blocks): %.2f\n",
                keptDaemon.medianUs / keptEcho.medianUs);
    {
        // The daemon polls every connection it holds: the cost of a few that stay silent.
        std::vector<int> idle;
        for (int i = 0; i < 8; ++i)
            idle.push_back(connectTo(kDaemonSocket));
        print("daemon: ping, kept, beside 8 idle clients",
              keptConnection(kDaemonSocket, kRequests));
        for (int fd : idle)
            ::close(fd);
    }
    long rssAfter = rssKiB(daemon);

    // An endless line: 64 MiB without a line feed, then a normal client.
    int fd = connectTo(kDaemonSocket);
    std::string chunk(1 << 16, 'x');
    std::size_t sent = 0;
    try {
        for (int i = 0; i < 1024; ++i) {
            sendAll(fd, chunk);
            sent += chunk.size();
        }
    } catch (const std::exception&) {
        // the daemon dropped the connection: expected
    }
    ::close(fd);
    std::string pending;
    int probe = connectTo(kDaemonSocket);
    sendAll(probe, "ping\n");
    std::string reply = readLine(probe, pending);
    ::close(probe);
    long rssEndless = rssKiB(daemon);

    std::printf(
        "daemon RSS: %ld KiB at start, %ld KiB after %d requests, %ld KiB after an "
        "endless line (%zu bytes accepted before the drop); next reply \"%s\"\n",
        rssStart, rssAfter, kRequests * 2, rssEndless, sent, reply.c_str());
    std::printf("daemon open descriptors: %d at start, %d at the end\n", fdsStart, openFds(daemon));

    ::kill(daemon, SIGTERM);
    ::waitpid(daemon, nullptr, 0);
    ::kill(echo, SIGKILL);
    ::waitpid(echo, nullptr, 0);

    // `orvtool rpm` as a whole process; `orvtool metrics` reads every fan and sensor and asks
    // the daemon, which is gone by now, as on a machine where none runs.
    if (!wholeProcess("rpm") || !wholeProcess("metrics")) return 1;
    return 0;
}
