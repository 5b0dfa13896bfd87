// Fault sweeps of the control daemon's write operations on the emulator. For each operation
// the SMC calls it makes are counted on a fresh daemon (the emulator's `calls`), then the
// operation is run again once per call position k with the k-th call failing (a return code,
// or the connection dropped). Each run checks the one reply, that the daemon still serves,
// and what is left forced once the daemon has stopped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ControlProtocol.h"
#include "FaultRig.h"
#include "KernReturn.h"
#include "Reply.h"
#include "SMCError.h"
#include "SocketClient.h"

namespace {

using protocol::formatReply;
using protocol::Reply;

// A failure code the emulator gives a faulted call, and the code the hardware layer sees
// when the connection to the emulator is dropped during a call.
constexpr kern_return_t kFailCode = kIOReturnError;
constexpr kern_return_t kDropCode = kIOReturnNotResponding;

// A code as the emulator's fault command takes it.
std::string hexCode(kern_return_t kr) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(kr));
    return text;
}

const std::string kPong = formatReply(Reply::pong(2));
const std::string kBye = formatReply(Reply::bye());

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
        {"set0", protocol::setRequest(0, 4000), {}, formatReply(Reply::set(0, 4000))},
        {"set1", protocol::setRequest(1, 4000), {0}, formatReply(Reply::set(1, 4000))},
        {"auto0", protocol::autoRequest(0), {0, 1}, formatReply(Reply::autoFan(0))},
        {"auto1", protocol::autoRequest(1), {0, 1}, formatReply(Reply::autoFan(1))},
        {"autoAll", protocol::kAutoAllRequest, {0, 1}, formatReply(Reply::autoAll())},
    };
}

// The descriptions the hardware layer gives a failed call with code `kr`, by command.
bool isFaultReply(const std::string& reply, kern_return_t kr) {
    for (const SMCError& error :
         {SMCError::callFailed(SMCCommand::readKeyInfo, kr),
          SMCError::callFailed(SMCCommand::readBytes, kr), SMCError::writeRejected(kr)}) {
        if (reply == formatReply(Reply::error(error.description()))) return true;
    }
    return false;
}

class DaemonFaultTest : public ::testing::TestWithParam<const Machine*> {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "a private /tmp needs root";
    }

    // Starts a rig, forces `before`, optionally runs the operation once unfaulted (a warm
    // key-info cache) and forces again. Null when the daemon did not start.
    std::unique_ptr<FaultRig> rig(const Operation& op, bool warm) {
        auto r = std::make_unique<FaultRig>(*GetParam());
        EXPECT_TRUE(r->daemonStarted) << r->error() << r->log();
        if (!r->daemonStarted) return nullptr;
        if (warm) {
            EXPECT_EQ(r->request(op.request), op.okReply);
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
        EXPECT_EQ(r->request(op.request), op.okReply);
        return r->calls() - before;
    }

    // The keys of the calls the operation makes with this cache state, in order (the
    // emulator's trace).
    std::vector<std::string> callKeys(const Operation& op, bool warm) {
        auto r = rig(op, warm);
        if (!r) return {};
        const std::uint64_t before = r->calls();
        EXPECT_EQ(r->request(op.request), op.okReply);
        std::vector<std::string> keys;
        std::istringstream trace(r->emu().control("trace " + std::to_string(before)));
        std::string entry;
        trace >> entry;  // OK
        while (trace >> entry)
            keys.push_back(entry.substr(entry.rfind(':') + 1));
        return keys;
    }

    // The operation with call k failing: one reply, the fault's error text, the daemon
    // still serving, and every fan back to automatic once it quits with faults cleared.
    void sweepWriteOperation(const Operation& op, bool warm) {
        const std::vector<std::string> keys = callKeys(op, warm);
        const std::uint64_t n = keys.size();
        ASSERT_GT(n, 0u) << op.request;
        std::printf("[sweep] %s %s (%s): %llu calls x 2 faults\n", GetParam()->profile,
                    op.request.c_str(), warm ? "warm" : "fresh",
                    static_cast<unsigned long long>(n));
        for (const std::string& fault : {hexCode(kFailCode), std::string("drop")}) {
            const kern_return_t kr = fault == "drop" ? kDropCode : kFailCode;
            for (std::uint64_t k = 1; k <= n; ++k) {
                SCOPED_TRACE(op.request + (warm ? " (warm)" : " (fresh)") + ", call " +
                             std::to_string(k) + " of " + std::to_string(n) + ": " + fault);
                auto r = rig(op, warm);
                ASSERT_TRUE(r);
                ASSERT_TRUE(protocol::isOK(
                    r->emu().control("fault call " + std::to_string(k) + " " + fault)));
                SocketClient c = r->connect();
                const std::string reply = c.request(op.request);
                ASSERT_FALSE(reply.empty()) << r->log();
                // A `set` below the maximum first reads the temperatures for the heat guard;
                // a reading that fails is no reading, and the write goes on.
                if (keys[k - 1].rfind('T', 0) == 0) {
                    EXPECT_EQ(reply, op.okReply);
                } else {
                    EXPECT_TRUE(isFaultReply(reply, kr)) << reply;
                }
                // A second reply to the request would arrive here instead of the pong.
                EXPECT_EQ(c.request("ping"), kPong);

                r->emu().control("fault clear");
                c.sendLine("quit");
                EXPECT_EQ(c.readAll(), kBye + "\n");
                EXPECT_EQ(r->daemon().finish(), 0);
                EXPECT_EQ(r->forcedFans(), (std::vector<bool>{false, false})) << r->log();
            }
        }
    }

    // Stopping (quit or SIGTERM) with call k failing. The stop restores the fans in index
    // order and ends at the first failure: the fan whose restore met the fault and every
    // later one stay forced, earlier ones are restored. `perFan` calls restore one fan.
    void sweepStop(bool bySignal) {
        const Operation quit{"quit", std::string(protocol::kQuit), {0, 1}, kBye};
        const std::uint64_t n = countCalls(quit, false);
        ASSERT_GT(n, 0u);
        ASSERT_EQ(n % 2, 0u) << "both fans take the same calls";
        const std::uint64_t perFan = n / 2;
        std::printf("[sweep] %s %s: %llu calls x 2 faults\n", GetParam()->profile,
                    bySignal ? "SIGTERM" : "quit", static_cast<unsigned long long>(n));
        for (const std::string& fault : {hexCode(kFailCode), std::string("drop")}) {
            for (std::uint64_t k = 1; k <= n; ++k) {
                SCOPED_TRACE(std::string(bySignal ? "SIGTERM" : "quit") + ", call " +
                             std::to_string(k) + " of " + std::to_string(n) + ": " + fault);
                auto r = rig(quit, false);
                ASSERT_TRUE(r);
                ASSERT_TRUE(protocol::isOK(
                    r->emu().control("fault call " + std::to_string(k) + " " + fault)));
                if (bySignal) {
                    r->daemon().terminate();
                } else {
                    // The one reply, then the end of the connection.
                    SocketClient c = r->connect();
                    c.sendLine(quit.request);
                    EXPECT_EQ(c.readAll(), kBye + "\n");
                }
                EXPECT_EQ(r->daemon().finish(), 0) << r->log();
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
