// Framing of one connection, served in-process over a socket pair: lines split and
// joined across reads, dropped lines, the bound on an unterminated line, long replies,
// the line deadline and idle limit, a peer that does not read and a vanished one.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "Emulator.h"
#include "FanController.h"
#include "Serve.h"
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
