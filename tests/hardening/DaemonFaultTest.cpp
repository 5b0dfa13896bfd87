// Fault sweeps of the control daemon's write operations on the emulator. For each operation
// the SMC calls it makes are counted on a fresh daemon (the emulator's `calls`), then the
// operation is run again once per call position k with the k-th call failing (a return code,
// or the connection dropped). Each run checks the one reply, that the daemon still serves,
// and what is left forced once the daemon has stopped.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FaultRig.h"

namespace {

using namespace std::chrono_literals;

// Safety net for every wait, so that a hung daemon fails a test instead of blocking it.
constexpr int kWaitMs = 10'000;

// A failure code the emulator gives a faulted call, and the code the hardware layer sees
// when the connection to the emulator is dropped during a call.
constexpr const char* kFailCode = "e00002bc";
constexpr const char* kDropCode = "e00002ed";

// One client connection to the daemon, reading whole lines.
class Client {
  public:
    explicit Client(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool connected() const { return fd_ >= 0; }

    // Sends one request and returns every line received until `lines` lines have arrived,
    // the daemon closes, or nothing arrives for a while (a missing reply).
    std::vector<std::string> request(const std::string& line, std::size_t lines = 1) {
        const std::string data = line + "\n";
        if (::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) != ssize_t(data.size())) return {};
        return read(lines);
    }
    // Lines until `lines` have arrived, the peer closes, or it is silent for silenceMs.
    std::vector<std::string> read(std::size_t lines, int silenceMs = kWaitMs) {
        std::vector<std::string> out;
        std::string pending;
        for (;;) {
            for (std::size_t lf; (lf = pending.find('\n')) != std::string::npos;) {
                out.push_back(pending.substr(0, lf));
                pending.erase(0, lf + 1);
            }
            if (out.size() >= lines) return out;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, silenceMs) != 1) return out;
            char buf[512];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return out;
            pending.append(buf, static_cast<std::size_t>(n));
        }
    }

  private:
    int fd_;
};

// A sweep's rig that can wait for the daemon's exit.
class Rig : public FaultRig {
  public:
    using FaultRig::FaultRig;
    ~Rig() {
        if (daemonPid > 0 && !reaped) {
            ::kill(daemonPid, SIGKILL);
            ::waitpid(daemonPid, nullptr, 0);
        }
    }

    // Status of the daemon's exit, -1 when it did not exit normally in time.
    int waitExit() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        int status = 0;
        while (::waitpid(daemonPid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(2ms);
        }
        reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    bool reaped = false;
};

// A write operation of the daemon: its request, the fans forced before it, the reply it
// gives when nothing fails.
struct Operation {
    std::string name;
    std::string request;
    std::vector<int> forcedBefore;
    std::string okReply;
};

std::vector<Operation> writeOperations() {
    return {
        {"set0", "set 0 4000", {}, "OK set fan=0 rpm=4000"},
        {"set1", "set 1 4000", {0}, "OK set fan=1 rpm=4000"},
        {"auto0", "auto 0", {0, 1}, "OK auto fan=0"},
        {"auto1", "auto 1", {0, 1}, "OK auto fan=1"},
        {"autoAll", "auto", {0, 1}, "OK auto all"},
    };
}

// The descriptions the hardware layer gives a failed call with code `kr`, by command.
bool isFaultReply(const std::string& reply, const std::string& kr) {
    return reply == "ERR SMC 调用失败(cmd=9, kr=0x" + kr + ")" ||
           reply == "ERR SMC 调用失败(cmd=5, kr=0x" + kr + ")" ||
           reply == "ERR 写入被拒(kr=0x" + kr + ")——普通用户权限不足，需 root/特权 helper";
}

class DaemonFaultTest : public ::testing::TestWithParam<const Machine*> {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp needs root";
    }

    // Starts a rig, forces `before`, optionally runs the operation once unfaulted (a warm
    // key-info cache) and forces again. Null when the daemon did not start.
    std::unique_ptr<Rig> rig(const Operation& op, bool warm) {
        auto r = std::make_unique<Rig>(*GetParam());
        EXPECT_TRUE(r->daemonStarted) << r->tmp.error() << r->log();
        if (!r->daemonStarted) return nullptr;
        if (warm) {
            Client c(r->socket());
            EXPECT_EQ(c.request(op.request), std::vector<std::string>{op.okReply});
        }
        for (int fan : op.forcedBefore)
            r->force(fan);
        return r;
    }

    // Calls the operation makes with this cache state.
    std::uint64_t countCalls(const Operation& op, bool warm) {
        auto r = rig(op, warm);
        if (!r) return 0;
        const std::uint64_t before = r->calls();
        Client c(r->socket());
        EXPECT_EQ(c.request(op.request), std::vector<std::string>{op.okReply});
        return r->calls() - before;
    }

    // The operation with call k failing: one reply, the fault's error text, the daemon
    // still serving, and every fan back to automatic once it quits with faults cleared.
    void sweepWriteOperation(const Operation& op, bool warm) {
        const std::uint64_t n = countCalls(op, warm);
        ASSERT_GT(n, 0u) << op.request;
        std::printf("[sweep] %s %s (%s): %llu calls x 2 faults\n", GetParam()->profile,
                    op.request.c_str(), warm ? "warm" : "fresh",
                    static_cast<unsigned long long>(n));
        for (const char* fault : {kFailCode, "drop"}) {
            const std::string kr = std::string(fault) == "drop" ? kDropCode : kFailCode;
            for (std::uint64_t k = 1; k <= n; ++k) {
                SCOPED_TRACE(op.request + (warm ? " (warm)" : " (fresh)") + ", call " +
                             std::to_string(k) + " of " + std::to_string(n) + ": " +
                             std::string(fault));
                auto r = rig(op, warm);
                ASSERT_TRUE(r);
                ASSERT_EQ(
                    r->emu.control("fault call " + std::to_string(k) + " " + std::string(fault))
                        .rfind("OK", 0),
                    0u);
                Client c(r->socket());
                const std::vector<std::string> replies = c.request(op.request);
                ASSERT_EQ(replies.size(), 1u) << r->log();
                EXPECT_TRUE(isFaultReply(replies[0], kr)) << replies[0];
                // A second reply to the request would arrive here instead of the pong.
                EXPECT_EQ(c.request("ping"), std::vector<std::string>{"OK pong fans=2"});

                r->emu.control("fault clear");
                EXPECT_EQ(c.request("quit"), std::vector<std::string>{"OK bye"});
                EXPECT_EQ(r->waitExit(), 0);
                EXPECT_EQ(r->forcedFans(), (std::vector<bool>{false, false})) << r->log();
            }
        }
    }

    // Stopping (quit or SIGTERM) with call k failing. The stop restores the fans in index
    // order and ends at the first failure: the fan whose restore met the fault and every
    // later one stay forced, earlier ones are restored. `perFan` calls restore one fan.
    void sweepStop(bool bySignal) {
        const Operation quit{"quit", "quit", {0, 1}, "OK bye"};
        const std::uint64_t n = countCalls(quit, false);
        ASSERT_GT(n, 0u);
        ASSERT_EQ(n % 2, 0u) << "both fans take the same calls";
        const std::uint64_t perFan = n / 2;
        std::printf("[sweep] %s %s: %llu calls x 2 faults\n", GetParam()->profile,
                    bySignal ? "SIGTERM" : "quit", static_cast<unsigned long long>(n));
        for (const char* fault : {kFailCode, "drop"}) {
            for (std::uint64_t k = 1; k <= n; ++k) {
                SCOPED_TRACE(std::string(bySignal ? "SIGTERM" : "quit") + ", call " +
                             std::to_string(k) + " of " + std::to_string(n) + ": " +
                             std::string(fault));
                auto r = rig(quit, false);
                ASSERT_TRUE(r);
                ASSERT_EQ(
                    r->emu.control("fault call " + std::to_string(k) + " " + std::string(fault))
                        .rfind("OK", 0),
                    0u);
                if (bySignal) {
                    ASSERT_EQ(::kill(r->daemonPid, SIGTERM), 0);
                } else {
                    Client c(r->socket());
                    EXPECT_EQ(c.request("quit", 2), std::vector<std::string>{"OK bye"});
                }
                EXPECT_EQ(r->waitExit(), 0) << r->log();
                const std::uint64_t failedFan = (k - 1) / perFan;
                // Only the fan whose call failed stays forced; the other is still restored.
                EXPECT_EQ(r->forcedFans(), (std::vector<bool>{failedFan == 0, failedFan == 1}))
                    << r->log();
            }
        }
    }
};

TEST_P(DaemonFaultTest, WriteOperationsOnAFreshDaemon) {
    for (const Operation& op : writeOperations())
        sweepWriteOperation(op, false);
}

TEST_P(DaemonFaultTest, WriteOperationsWithAWarmKeyInfoCache) {
    for (const Operation& op : writeOperations())
        sweepWriteOperation(op, true);
}

TEST_P(DaemonFaultTest, QuitRestoresEveryFanItCan) {
    sweepStop(false);
}

TEST_P(DaemonFaultTest, TerminationRestoresEveryFanItCan) {
    sweepStop(true);
}

INSTANTIATE_TEST_SUITE_P(Machines, DaemonFaultTest, ::testing::Values(&kRecent, &kOlder),
                         [](const auto& info) { return std::string(info.param->name); });

}  // namespace
