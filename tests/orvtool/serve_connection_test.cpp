// Framing of one connection, served in-process over a socket pair: lines split and
// joined across reads, dropped lines, the bound on an unterminated line, long replies,
// the line deadline and idle limit, a peer that does not read and a vanished one; and over a
// listener, the connections past a cap.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "Deadline.h"
#include "Emulator.h"
#include "FanController.h"
#include "ServeLoop.h"
#include "SocketClient.h"
#include "TempRecord.h"

using orvtool::ClientEnd;
using orvtool::serveConnection;

namespace {

const std::string kPong = "OK pong fans=2\n";

class ServeConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        emu = std::make_unique<Emulator>(Emulator::shippedProfile("recent-2fan.prof"));
        ctl = std::make_unique<FanController>(noRecord());
        ASSERT_NO_FATAL_FAILURE(newPair());
    }
    void TearDown() override {
        if (peer.joinable()) peer.join();
        closeServer();
    }
    // A fresh connection: `client` one end, `server` the other.
    void newPair() {
        closeServer();
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        client = SocketClient::adopt(fds[0]);
        server = fds[1];
    }
    void closeServer() {
        if (server >= 0) ::close(server);
        server = -1;
    }
    // Serves the server end until the connection ends, then closes it.
    ClientEnd serve(const orvtool::ServeLimits& limits = {}) {
        const ClientEnd end = serveConnection(server, *ctl, limits);
        closeServer();  // ends a peer's blocked send or its read to the end
        if (peer.joinable()) peer.join();
        return end;
    }
    // Sends everything and closes the sending direction before serving.
    ClientEnd serve(const std::string& data) {
        client.send(data);
        ::shutdown(client.fd(), SHUT_WR);
        return serve();
    }
    std::string replies() { return client.readAll(); }
    std::string line() { return client.readLine().value_or("(none)") + "\n"; }

    std::unique_ptr<Emulator> emu;
    std::unique_ptr<FanController> ctl;
    SocketClient client;
    int server = -1;
    std::thread peer;
};

}  // namespace

TEST_F(ServeConnectionTest, AnswersLinesInOrderAndDropsBlankOrInvalidOnes) {
    EXPECT_EQ(serve("ping\n\n \t\u3000\n\xff\xfe\nhello\r\nping x\nset 0 3000"), ClientEnd::closed);
    // The unterminated last line is discarded unexecuted at the close.
    EXPECT_EQ(replies(), kPong + "ERR 未知命令: hello\r\n" + kPong);
    EXPECT_EQ(emu->value("F0Md"), std::vector<std::uint8_t>{0});
}

TEST_F(ServeConnectionTest, JoinsALineSplitAcrossReads) {
    peer = std::thread([this] {
        client.send("ping\npi");
        // The first reply proves the server has read the first part on its own.
        if (line() == kPong) client.send("ng\n");
        ::shutdown(client.fd(), SHUT_WR);
    });
    EXPECT_EQ(serve(), ClientEnd::closed);
    EXPECT_EQ(replies(), kPong);
}

TEST_F(ServeConnectionTest, QuitLeavesLaterLinesUnanswered) {
    EXPECT_EQ(serve("ping\nquit\nping\n"), ClientEnd::quit);
    EXPECT_EQ(replies(), kPong + "OK bye\n");
}

TEST_F(ServeConnectionTest, UnterminatedLineIsBoundedAt4096Bytes) {
    // 4096 bytes before the line feed is the longest line served, though the read buffer
    // fills before its line feed arrives.
    EXPECT_EQ(serve("ping" + std::string(4092, ' ') + "\n"), ClientEnd::closed);
    EXPECT_EQ(replies(), kPong);

    // One byte more without a line feed drops the connection unexecuted.
    newPair();
    EXPECT_EQ(serve("ping\nset 0 3000" + std::string(4097 - 10, ' ') + "\n"), ClientEnd::overlong);
    EXPECT_EQ(replies(), kPong);

    newPair();
    peer = std::thread([this] { client.send("ping\nset 0 3000" + std::string(1 << 20, 'x')); });
    EXPECT_EQ(serve(), ClientEnd::overlong);
    EXPECT_EQ(replies(), kPong);
    EXPECT_EQ(emu->value("F0Md"), std::vector<std::uint8_t>{0});
}

TEST_F(ServeConnectionTest, LongReplyIsSentWhole) {
    // With a raised bound the reply outgrows the socket buffer and needs several sends.
    const std::string longLine(600'000, 'x');
    std::string received;
    peer = std::thread([&] {
        client.send(longLine + "\n");
        ::shutdown(client.fd(), SHUT_WR);
        received = replies();
    });
    EXPECT_EQ(serve(orvtool::ServeLimits{.maxPending = 1 << 20, .maxOutput = 1 << 20}),
              ClientEnd::closed);
    EXPECT_EQ(received, "ERR 未知命令: " + longLine + "\n");
}

TEST_F(ServeConnectionTest, TimeLimitsCountFromTheRightMoment) {
    // An unfinished line has its own deadline from its first byte.
    client.send("ping\nset 0 30");
    EXPECT_EQ(serve(orvtool::ServeLimits{.idleMs = 30'000, .lineMs = 50}), ClientEnd::late);
    EXPECT_EQ(replies(), kPong);
    EXPECT_EQ(emu->value("F0Md"), std::vector<std::uint8_t>{0});

    // Empty and dropped lines gain no time: the idle limit counts from the last answer, so
    // the connection ends while they still arrive (for far longer than the limit).
    newPair();
    bool endedWhileSending = false;
    peer = std::thread([this, &endedWhileSending] {
        client.send("ping\n");
        for (int i = 0; i < 500; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const std::string blank = i % 2 ? "\n" : " \t\n";
            if (!client.send(blank)) {
                endedWhileSending = true;
                return;
            }
        }
    });
    EXPECT_EQ(serve(orvtool::ServeLimits{.idleMs = 150, .lineMs = 10'000}), ClientEnd::idle);
    EXPECT_TRUE(endedWhileSending);
    EXPECT_EQ(replies(), kPong);

    // A lease is never idle: long past the limit it is still served, until its peer closes.
    newPair();
    std::string received;
    peer = std::thread([&] {
        client.send("hold\n");
        received = line();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        client.send("hold\nping\n");
        received += line();
        received += line();
        ::shutdown(client.fd(), SHUT_WR);
    });
    EXPECT_EQ(serve(orvtool::ServeLimits{.idleMs = 150, .lineMs = 10'000}), ClientEnd::closed);
    EXPECT_EQ(received, "OK hold grace=10\nOK hold grace=10\n" + kPong);
}

TEST_F(ServeConnectionTest, PeerThatDoesNotReadIsDroppedPastTheOutputBound) {
    // Far more pipelined requests than the reply bound and the socket buffers hold.
    std::string many;
    for (int i = 0; i < 40'000; ++i)
        many += "ping\n";
    peer = std::thread([&] { client.send(many); });
    EXPECT_EQ(serve(orvtool::ServeLimits{.maxOutput = 4096}), ClientEnd::backlog);
}

TEST_F(ServeConnectionTest, VanishedPeerDoesNotEndTheServer) {
    // Replies go to a closed socket: no SIGPIPE may end this process.
    client.send("ping\nping\nping\n");
    client.close();
    EXPECT_EQ(serve(), ClientEnd::closed);
}

// Connections past a cap, served by the daemon's loop over a listener: each is told the
// daemon is busy; the first refusal of a user is logged at once, the others counted in one
// line when the interval ends, while the daemon goes on serving.
TEST_F(ServeConnectionTest, RefusalsAreToldBusyAndCountedOncePerInterval) {
    char dir[] = "/tmp/serve-refusals.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/s.sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const auto* name = reinterpret_cast<const sockaddr*>(&address);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_EQ(::bind(listener, name, sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    // The loop's log lines, from standard error.
    int log[2];
    ASSERT_EQ(::pipe(log), 0);
    const int savedStderr = ::dup(STDERR_FILENO);
    ::dup2(log[1], STDERR_FILENO);
    ::close(log[1]);

    orvtool::ServeLimits limits;
    // The test is the peer, as root or as the daemon's owner (who may make it quit).
    limits.perRoot = 1;
    limits.perOwner = 1;
    limits.ownerUid = ::getuid();
    limits.refusalLogMs = 300;
    std::thread loop([&] { orvtool::serveListeners({listener}, *ctl, limits); });
    SocketClient served(path);
    EXPECT_EQ(served.request("ping") + "\n", kPong);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(SocketClient(path).readAll(), "ERR 控制服务繁忙：连接数已达上限，请稍后再试\n");
    // The count comes when the interval ends, with no refusal or request after it.
    std::string lines;
    waitUntil([&] {
        char buf[512];
        pollfd p{log[0], POLLIN, 0};
        const ssize_t n = ::poll(&p, 1, 100) == 1 ? ::read(log[0], buf, sizeof buf) : 0;
        if (n > 0) lines.append(buf, static_cast<std::size_t>(n));
        return lines.find("另有 2 个连接") != std::string::npos;
    });
    EXPECT_EQ(served.request("quit"), "OK bye");
    loop.join();
    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);
    ::close(log[0]);
    served.close();
    ::close(listener);
    ::unlink(path.c_str());
    ::rmdir(dir);

    const std::string uid = std::to_string(::getuid());
    EXPECT_NE(lines.find("[serve] 用户 uid=" + uid + " 的连接数已达上限，已拒绝新连接\n"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("[serve] 用户 uid=" + uid + " 在 "), std::string::npos) << lines;
    EXPECT_NE(lines.find("另有 2 个连接"), std::string::npos) << lines;
}
