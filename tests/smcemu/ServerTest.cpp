// The server in this process: a fault in its socket handling (SIGPIPE, a hang, a crash)
// shows up as a failing or dying test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "../support/SocketClient.h"
#include "Server.h"
#include "TestSupport.h"

namespace smcemu {
namespace {

using test::request;
using test::SmcClient;

class ServerTest : public testing::Test {
  protected:
    test::TempDir dir;
    std::string smcPath = dir.file("smc.sock");
    std::string ctlPath = dir.file("smc.sock.ctl");
    test::ManualMachine machine{test::shippedProfile("recent-2fan.prof")};
    std::unique_ptr<Server> server;

    void start(size_t maxClients = 64) {
        ServerOptions options{smcPath, ctlPath, maxClients, 4};
        server = std::make_unique<Server>(*machine.machine, options);
        server->start();
    }
    std::string control(const std::string& line) {
        ControlReply reply = sendControlLine(ctlPath, line);
        return reply.delivered ? reply.line : "no reply: " + reply.error;
    }
};

TEST_F(ServerTest, ServesCallsOnManyConnections) {
    start();
    SmcClient a(smcPath), b(smcPath);
    ASSERT_TRUE(a.connected()) << a.error();
    ASSERT_TRUE(b.connected()) << b.error();
    auto info = a.call(request("FNum", kCmdKeyInfo));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->first, 0);
    EXPECT_EQ(test::le32(&info->second[28]), 1u);
    auto read = b.call(request("FNum", kCmdRead, 1));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->second[48], 2);
    auto unsupported = a.call(request("FNum", kCmdRead, 1), 5);
    ASSERT_TRUE(unsupported);
    EXPECT_EQ(unsupported->first, kIOReturnUnsupported);
    EXPECT_EQ(control("calls"), "OK 3");
}

TEST_F(ServerTest, SocketFilesHaveTheirModesAndGoAwayOnStop) {
    start();
    struct stat st {};
    ASSERT_EQ(stat(smcPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    ASSERT_EQ(stat(ctlPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    SmcClient client(smcPath);  // an open connection does not keep stop() waiting
    ASSERT_TRUE(client.call(request("FNum", kCmdRead, 1)));
    server->stop();
    EXPECT_NE(access(smcPath.c_str(), F_OK), 0);
    EXPECT_NE(access(ctlPath.c_str(), F_OK), 0);
    EXPECT_TRUE(client.closedByPeer());
}

TEST_F(ServerTest, DropFaultClosesOnlyThatConnection) {
    start();
    EXPECT_EQ(control("fault F0Ac drop").substr(0, 2), "OK");
    SmcClient victim(smcPath), other(smcPath);
    EXPECT_FALSE(victim.call(request("F0Ac", kCmdRead, 4)));
    EXPECT_TRUE(other.call(request("F0Mn", kCmdRead, 4)));
    EXPECT_EQ(control("fault call 1 drop").substr(0, 2), "OK");
    EXPECT_FALSE(other.call(request("F0Mn", kCmdRead, 4)));
    SmcClient fresh(smcPath);
    EXPECT_TRUE(fresh.call(request("F0Mn", kCmdRead, 4)));
}

TEST_F(ServerTest, VanishingPeersDoNotDisturbTheServer) {
    start();
    {
        SmcClient partial(smcPath);  // half a request, then gone
        ASSERT_TRUE(partial.sendAll("\x02\x00\x00\x00\x6d\x75", 6));
    }
    for (int i = 0; i < 20; ++i) {
        SmcClient hasty(smcPath);  // a whole request, gone before the reply
        uint8_t req[84] = {2};
        ASSERT_TRUE(hasty.sendAll(req, sizeof req));
    }
    SmcClient client(smcPath);
    EXPECT_TRUE(client.call(request("FNum", kCmdRead, 1)));
}

TEST_F(ServerTest, ConnectionsBeyondTheLimitAreClosed) {
    start(/*maxClients=*/2);
    SmcClient a(smcPath), b(smcPath);
    ASSERT_TRUE(a.call(request("FNum", kCmdRead, 1)));
    ASSERT_TRUE(b.call(request("FNum", kCmdRead, 1)));
    SmcClient c(smcPath);
    EXPECT_FALSE(c.call(request("FNum", kCmdRead, 1)));
    EXPECT_TRUE(a.call(request("FNum", kCmdRead, 1)));
}

TEST_F(ServerTest, ControlAnswersPipelinedLinesInOrder) {
    start();
    SocketClient ctl(ctlPath);
    ASSERT_TRUE(ctl.send("load 0.5\nget FNum\nbogus\n"));
    EXPECT_EQ(ctl.readLine(), "OK load 0.5");
    EXPECT_EQ(ctl.readLine(), "OK ui8  1 02");
    EXPECT_EQ(ctl.readLine(), "ERR unknown command \"bogus\"");
}

TEST_F(ServerTest, OverlongControlLineIsRefusedAndClosed) {
    start();
    SocketClient ctl(ctlPath);
    ASSERT_TRUE(ctl.send(std::string(kMaxControlLine + 100, 'x')));
    EXPECT_EQ(ctl.readAll(), "ERR line too long\n");
    EXPECT_EQ(control("calls"), "OK 0");  // the server still answers
}

TEST_F(ServerTest, StaleSocketIsReplacedButALiveOneIsNot) {
    // A socket file nobody listens on, as a killed emulator leaves behind.
    ASSERT_TRUE(makeStaleSocket(smcPath));
    start();
    EXPECT_TRUE(SmcClient(smcPath).call(request("FNum", kCmdRead, 1)));

    Server second(*machine.machine, {smcPath, dir.file("other.ctl")});
    EXPECT_THROW(second.start(), ServerError);
    EXPECT_TRUE(SmcClient(smcPath).call(request("FNum", kCmdRead, 1)));
}

TEST_F(ServerTest, RefusesAPathHoldingAnotherKindOfFile) {
    int fd = open(smcPath.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_THROW(start(), ServerError);
    struct stat st {};
    EXPECT_EQ(stat(smcPath.c_str(), &st), 0);  // left alone
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

}  // namespace
}  // namespace smcemu
