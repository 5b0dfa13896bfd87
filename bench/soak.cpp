// A soak of the control daemon and the tray application on the emulator: for a bounded time
// (default 180 s, first argument to change) several client threads drive the daemon over
// real sockets, each connection sending one to three requests (a random mix of ping, set
// and auto) and reading until the daemon closes, while the application refreshes from the
// emulator. Every request must get exactly one reply, in order, of the kind it asks for.
// The daemon's resident memory and open descriptors and the application's CPU time and
// resident memory are sampled after a warm-up and at the end.
//
// Exits 1 when a reply was lost, duplicated or unexpected, when the daemon's memory or
// descriptors grew materially, or when a fan is left forced after the final quit.
//
// The daemon's socket path is fixed, so the program first moves into a private mount
// namespace with its own /tmp (needs root), as daemon_bench does.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Emulator.h"
#include "PrivateTmp.h"
#include "SocketTimeouts.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kDaemonSocket = "/tmp/orvane.sock";
constexpr int kClients = 6;
constexpr int kReplyTimeoutSeconds = 10;  // a reply later than this counts as lost
constexpr int kWarmUpSeconds = 3;
// Growth above these counts as material (after the warm-up, over the whole soak).
constexpr long kMaxRssGrowthKiB = 1024;
constexpr int kMaxFdGrowth = 0;

int connectTo(const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof(addr.sun_path) - 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    setSocketTimeouts(fd, std::chrono::seconds(kReplyTimeoutSeconds));
    return fd;
}

bool sendAll(int fd, const std::string& s) {
    std::size_t off = 0;
    while (off < s.size()) {
        ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

long statusKiB(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    }
    return -1;
}

int openFds(pid_t pid) {
    DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    ::closedir(d);
    return n;
}

// User plus system CPU seconds of a process.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    if (paren == std::string::npos) return -1;
    std::istringstream fields(text.substr(paren + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

struct Sample {
    long daemonRssKiB, appRssKiB;
    int daemonFds;
    double appCpu, daemonCpu;
};

Sample sample(pid_t daemon, pid_t app) {
    return {statusKiB(daemon, "VmRSS:"), statusKiB(app, "VmRSS:"), openFds(daemon), cpuSeconds(app),
            cpuSeconds(daemon)};
}

struct Totals {
    std::atomic<long> connections{0}, requests{0}, replies{0};
    std::atomic<long> lost{0}, duplicated{0}, unexpected{0}, refused{0};
    std::atomic<long> pipelined{0};
    std::mutex firstErrorMutex;
    std::string firstError;
    void note(const std::string& what) {
        const std::lock_guard<std::mutex> lock(firstErrorMutex);
        if (firstError.empty()) firstError = what;
    }
};

// The reply a request must get: its exact text, or the text up to the written speed.
std::string expectedPrefix(const std::string& request) {
    if (request == "ping") return "OK pong fans=2";
    if (request == "auto") return "OK auto all";
    int fan = 0, rpm = 0;
    if (std::sscanf(request.c_str(), "set %d %d", &fan, &rpm) == 2)
        return "OK set fan=" + std::to_string(fan) + " rpm=";
    if (std::sscanf(request.c_str(), "auto %d", &fan) == 1)
        return "OK auto fan=" + std::to_string(fan);
    return "?";
}

void client(unsigned seed, Clock::time_point end, Totals& totals) {
    std::mt19937 rng(seed);
    while (Clock::now() < end) {
        const int fd = connectTo(kDaemonSocket);
        if (fd < 0) {
            ++totals.refused;  // a full backlog: try again shortly
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        ++totals.connections;
        const int count = 1 + int(rng() % 3);
        if (count > 1) ++totals.pipelined;
        std::vector<std::string> requests;
        std::string data;
        for (int i = 0; i < count; ++i) {
            std::string r;
            switch (rng() % 5) {
                case 0:
                case 1:
                    r = "ping";
                    break;
                case 2:
                    r = "set " + std::to_string(rng() % 2) + " " +
                        std::to_string(1000 + rng() % 6000);
                    break;
                case 3:
                    r = "auto " + std::to_string(rng() % 2);
                    break;
                default:
                    r = "auto";
                    break;
            }
            requests.push_back(r);
            data += r + "\n";
        }
        totals.requests += count;
        // Everything at once, then the end of the stream: the daemon answers every line and
        // closes, so whatever arrives is all it will ever send for these requests.
        if (!sendAll(fd, data)) {
            totals.lost += count;
            totals.note("send failed");
            ::close(fd);
            continue;
        }
        ::shutdown(fd, SHUT_WR);
        std::string received;
        char buf[512];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
            received.append(buf, static_cast<std::size_t>(n));
        if (n < 0)
            totals.note("no end of stream within " + std::to_string(kReplyTimeoutSeconds) + " s");
        ::close(fd);

        std::vector<std::string> lines;
        std::istringstream in(received);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        totals.replies += long(lines.size());
        for (std::size_t i = 0; i < lines.size() && i < requests.size(); ++i) {
            if (lines[i].rfind(expectedPrefix(requests[i]), 0) != 0) {
                ++totals.unexpected;
                totals.note("\"" + requests[i] + "\" got \"" + lines[i] + "\"");
            }
        }
        if (lines.size() < requests.size()) {
            totals.lost += long(requests.size() - lines.size());
            totals.note(std::to_string(requests.size()) + " requests, " +
                        std::to_string(lines.size()) + " replies");
        } else if (lines.size() > requests.size()) {
            totals.duplicated += long(lines.size() - requests.size());
            totals.note(std::to_string(requests.size()) + " requests, " +
                        std::to_string(lines.size()) + " replies");
        }
    }
}

bool waitForSocket(const char* path) {
    for (int i = 0; i < 400; ++i) {
        const int fd = connectTo(path);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

}  // namespace

// The status that tells ctest the run was skipped.
constexpr int kSkipped = 77;

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 180;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: soak [SECONDS]   (default 180)\n");
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "soak: needs root (a private /tmp); skipped\n");
        return kSkipped;
    }
    if (!TmpCover().enter()) {
        std::perror("soak: a private /tmp needs root");
        return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    emu.control("load 0.6");

    const pid_t daemon = ::fork();
    if (daemon == 0) {
        (void)!std::freopen("/dev/null", "w", stderr);
        ::execl(ORVTOOL_BINARY, "orvtool", "serve", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // The application with a private home (lock file, settings) on the offscreen platform.
    char home[] = "/tmp/soak-home.XXXXXX";
    if (::mkdtemp(home) == nullptr) return 1;
    const pid_t app = ::fork();
    if (app == 0) {
        ::setenv("HOME", home, 1);
        ::setenv("XDG_CONFIG_HOME", (std::string(home) + "/config").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", home, 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        (void)!std::freopen("/dev/null", "w", stderr);
        ::execl(ORVANEBAR_BINARY, "OrvaneBar", "--print-alerts", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (!waitForSocket(kDaemonSocket)) {
        std::fprintf(stderr, "soak: the daemon did not start\n");
        ::kill(app, SIGKILL);
        ::kill(daemon, SIGKILL);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(kWarmUpSeconds));

    const Sample start = sample(daemon, app);
    const std::uint64_t smcCallsStart = std::stoull(emu.control("calls").substr(3));
    const auto began = Clock::now();
    const auto end = began + std::chrono::seconds(seconds);
    Totals totals;
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i)
        threads.emplace_back(client, 1234u + unsigned(i), end, std::ref(totals));
    for (std::thread& t : threads)
        t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
    const Sample finish = sample(daemon, app);
    const std::uint64_t smcCalls = std::stoull(emu.control("calls").substr(3)) - smcCallsStart;
    int appStatus = 0;
    const bool appAlive = ::waitpid(app, &appStatus, WNOHANG) == 0;

    // The final quit hands every fan back; the daemon exits.
    std::string bye;
    if (const int fd = connectTo(kDaemonSocket); fd >= 0) {
        sendAll(fd, "quit\n");
        char buf[64];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
            bye.append(buf, static_cast<std::size_t>(n));
        ::close(fd);
    }
    int daemonStatus = 0;
    ::waitpid(daemon, &daemonStatus, 0);
    const std::string modes =
        std::to_string(emu.value("F0Md").at(0)) + "," + std::to_string(emu.value("F1Md").at(0));
    ::kill(app, SIGTERM);
    ::waitpid(app, nullptr, 0);

    std::printf("soak: %d s, %d clients, daemon + OrvaneBar on the emulator (recent-2fan)\n",
                seconds, kClients);
    std::printf(
        "  connections            %ld (%ld with 2-3 pipelined requests); %ld refused and retried\n",
        totals.connections.load(), totals.pipelined.load(), totals.refused.load());
    std::printf("  requests / replies     %ld / %ld  (%.0f requests/s)\n", totals.requests.load(),
                totals.replies.load(), double(totals.requests.load()) / elapsed);
    std::printf("  lost / duplicated / unexpected replies   %ld / %ld / %ld\n", totals.lost.load(),
                totals.duplicated.load(), totals.unexpected.load());
    if (!totals.firstError.empty())
        std::printf("  first problem          %s\n", totals.firstError.c_str());
    std::printf("  SMC calls in the soak  %llu\n", static_cast<unsigned long long>(smcCalls));
    std::printf("  %-26s %12s %12s\n", "", "start", "end");
    std::printf("  %-26s %12ld %12ld\n", "daemon VmRSS (KiB)", start.daemonRssKiB,
                finish.daemonRssKiB);
    std::printf("  %-26s %12d %12d\n", "daemon open descriptors", start.daemonFds,
                finish.daemonFds);
    std::printf("  %-26s %12.2f %12.2f\n", "daemon CPU time (s)", start.daemonCpu,
                finish.daemonCpu);
    std::printf("  %-26s %12ld %12ld\n", "OrvaneBar VmRSS (KiB)", start.appRssKiB,
                finish.appRssKiB);
    std::printf("  %-26s %12.2f %12.2f\n", "OrvaneBar CPU time (s)", start.appCpu, finish.appCpu);
    std::printf("  OrvaneBar CPU over the soak: %.2f s = %.2f %% of one core; still running: %s\n",
                finish.appCpu - start.appCpu, 100 * (finish.appCpu - start.appCpu) / elapsed,
                appAlive ? "yes" : "no");
    std::printf("  final quit: \"%s\", daemon exit %d, mode bytes after it %s\n",
                bye.substr(0, bye.find('\n')).c_str(),
                WIFEXITED(daemonStatus) ? WEXITSTATUS(daemonStatus) : -1, modes.c_str());

    bool ok = true;
    auto fail = [&](const char* why) {
        std::printf("FAIL: %s\n", why);
        ok = false;
    };
    if (totals.lost || totals.duplicated || totals.unexpected)
        fail("a reply was lost, duplicated or wrong");
    if (totals.requests == 0) fail("no request was served");
    if (finish.daemonRssKiB - start.daemonRssKiB > kMaxRssGrowthKiB) fail("daemon memory grew");
    if (finish.daemonFds - start.daemonFds > kMaxFdGrowth) fail("daemon descriptors grew");
    if (!appAlive) fail("OrvaneBar exited during the soak");
    if (bye != "OK bye\n" || modes != "0,0") fail("the final quit left a fan forced");
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
