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

#include "Emulator.h"
#include "FanController.h"
#include "ServeLoop.h"
#include "TempRecord.h"

using orvtool::ClientEnd;
using orvtool::serveConnection;

namespace {

const std::string kPong = "OK pong fans=2\n";

void sendAll(int fd, const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// Everything readable until the other end is closed (or, with `lines`, that many lines).
std::string receive(int fd, int lines = -1) {
    std::string all;
    char c;
    while (lines != 0 && ::recv(fd, &c, 1, 0) == 1) {
        all += c;
        if (c == '\n' && lines > 0) --lines;
    }
    return all;
}

class ServeConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        emu = std::make_unique<Emulator>(Emulator::shippedProfile("recent-2fan.prof"));
        ctl = std::make_unique<FanController>(noRecord());
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    }
    void TearDown() override {
        if (peer.joinable()) peer.join();
        closeEnd(0);
        closeEnd(1);
    }
    void closeEnd(int i) {  // 0: the client end, 1: the server end
        if (fds[i] >= 0) ::close(fds[i]);
        fds[i] = -1;
    }
    // Serves the server end until the connection ends, then closes it.
    ClientEnd serve(const orvtool::ServeLimits& limits = {}) {
        const ClientEnd end = serveConnection(fds[1], *ctl, limits);
        closeEnd(1);  // ends a peer's blocked send or its read to the end
        if (peer.joinable()) peer.join();
        return end;
    }
    // Sends everything and closes the sending direction before serving.
    ClientEnd serve(const std::string& data) {
        sendAll(fds[0], data);
        ::shutdown(fds[0], SHUT_WR);
        return serve();
    }
    std::string replies() { return receive(fds[0]); }

    std::unique_ptr<Emulator> emu;
    std::unique_ptr<FanController> ctl;
    int fds[2] = {-1, -1};
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
        sendAll(fds[0], "ping\npi");
        // The first reply proves the server has read the first part on its own.
        if (receive(fds[0], 1) == kPong) sendAll(fds[0], "ng\n");
        ::shutdown(fds[0], SHUT_WR);
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
    closeEnd(0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    EXPECT_EQ(serve("ping\nset 0 3000" + std::string(4097 - 10, ' ') + "\n"), ClientEnd::overlong);
    EXPECT_EQ(replies(), kPong);

    closeEnd(0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    peer = std::thread([this] { sendAll(fds[0], "ping\nset 0 3000" + std::string(1 << 20, 'x')); });
    EXPECT_EQ(serve(), ClientEnd::overlong);
    EXPECT_EQ(replies(), kPong);
    EXPECT_EQ(emu->value("F0Md"), std::vector<std::uint8_t>{0});
}

TEST_F(ServeConnectionTest, LongReplyIsSentWhole) {
    // With a raised bound the reply outgrows the socket buffer and needs several sends.
    const std::string line(600'000, 'x');
    std::string received;
    peer = std::thread([&] {
        sendAll(fds[0], line + "\n");
        ::shutdown(fds[0], SHUT_WR);
        received = replies();
    });
    EXPECT_EQ(serve(orvtool::ServeLimits{.maxPending = 1 << 20, .maxOutput = 1 << 20}),
              ClientEnd::closed);
    EXPECT_EQ(received, "ERR 未知命令: " + line + "\n");
}

TEST_F(ServeConnectionTest, TimeLimitsCountFromTheRightMoment) {
    // An unfinished line has its own deadline from its first byte.
    sendAll(fds[0], "ping\nset 0 30");
    EXPECT_EQ(serve(orvtool::ServeLimits{.idleMs = 30'000, .lineMs = 50}), ClientEnd::late);
    EXPECT_EQ(replies(), kPong);
    EXPECT_EQ(emu->value("F0Md"), std::vector<std::uint8_t>{0});

    // Empty and dropped lines gain no time: the idle limit counts from the last answer, so
    // the connection ends while they still arrive (for far longer than the limit).
    closeEnd(0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    bool endedWhileSending = false;
    peer = std::thread([this, &endedWhileSending] {
        sendAll(fds[0], "ping\n");
        for (int i = 0; i < 500; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const std::string blank = i % 2 ? "\n" : " \t\n";
            if (::send(fds[0], blank.data(), blank.size(), MSG_NOSIGNAL) < 0) {
                endedWhileSending = true;
                return;
            }
        }
    });
    EXPECT_EQ(serve(orvtool::ServeLimits{.idleMs = 150, .lineMs = 10'000}), ClientEnd::idle);
    EXPECT_TRUE(endedWhileSending);
    EXPECT_EQ(replies(), kPong);

    // A lease is never idle: long past the limit it is still served, until its peer closes.
    closeEnd(0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::string received;
    peer = std::thread([&] {
        sendAll(fds[0], "hold\n");
        received = receive(fds[0], 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        sendAll(fds[0], "hold\nping\n");
        received += receive(fds[0], 2);
        ::shutdown(fds[0], SHUT_WR);
    });
    EXPECT_EQ(serve(orvtool::ServeLimits{.idleMs = 150, .lineMs = 10'000}), ClientEnd::closed);
    EXPECT_EQ(received, "OK hold grace=10\nOK hold grace=10\n" + kPong);
}

TEST_F(ServeConnectionTest, PeerThatDoesNotReadIsDroppedPastTheOutputBound) {
    // Far more pipelined requests than the reply bound and the socket buffers hold.
    std::string many;
    for (int i = 0; i < 40'000; ++i)
        many += "ping\n";
    peer = std::thread([&] { sendAll(fds[0], many); });
    EXPECT_EQ(serve(orvtool::ServeLimits{.maxOutput = 4096}), ClientEnd::backlog);
}

TEST_F(ServeConnectionTest, VanishedPeerDoesNotEndTheServer) {
    // Replies go to a closed socket: no SIGPIPE may end this process.
    sendAll(fds[0], "ping\nping\nping\n");
    closeEnd(0);
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
    const auto connectOne = [&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(::connect(fd, name, sizeof address), 0);
        return fd;
    };
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
    const int served = connectOne();
    sendAll(served, "ping\n");
    EXPECT_EQ(receive(served, 1), kPong);
    for (int i = 0; i < 3; ++i) {
        const int refused = connectOne();
        EXPECT_EQ(receive(refused), "ERR 控制服务繁忙：连接数已达上限，请稍后再试\n");
        ::close(refused);
    }
    // The count comes when the interval ends, with no refusal or request after it.
    std::string lines;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (lines.find("另有 2 个连接") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        char buf[512];
        pollfd p{log[0], POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) continue;
        const ssize_t n = ::read(log[0], buf, sizeof buf);
        if (n > 0) lines.append(buf, static_cast<std::size_t>(n));
    }
    sendAll(served, "quit\n");
    EXPECT_EQ(receive(served, 1), "OK bye\n");
    loop.join();
    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);
    ::close(log[0]);
    ::close(served);
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
