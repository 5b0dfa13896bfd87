// Taking over the socket path: whatever was planted there is replaced without following
// it or entering it, and only the daemon's own socket is removed at the stop.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SocketPath.h"

using orvtool::bindReplacing;
using orvtool::Found;

namespace {

class SocketPathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orvtool-sock.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/orvane.sock";
        std::ofstream(dir + "/victim") << "keep";
    }
    void TearDown() override {
        for (const int fd : sockets)
            ::close(fd);
        (void)!std::system(("rm -rf '" + dir + "'").c_str());
    }

    // Binds a fresh socket at the path. It stays open, as a daemon's listener does (a
    // closed one could give its inode number to the next).
    orvtool::BoundSocket bind() {
        sockets.push_back(::socket(AF_UNIX, SOCK_STREAM, 0));
        return bindReplacing(sockets.back(), path);
    }
    void expectSocket() {
        struct stat st;
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0666u);
        std::ifstream in(dir + "/victim");
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(text.str(), "keep");
    }

    std::string dir;
    std::string path;
    std::vector<int> sockets;
};

}  // namespace

TEST_F(SocketPathTest, ReplacesWhatIsPlantedWithoutFollowingIt) {
    struct Case {
        Found kind;
        std::string plant;
    };
    for (const Case& c :
         {Case{Found::symlink, "ln -s victim orvane.sock"},
          Case{Found::symlink, "ln -s victim-missing orvane.sock"},
          Case{Found::fifo, "mkfifo orvane.sock"}, Case{Found::file, "echo x > orvane.sock"},
          Case{Found::directory, "mkdir orvane.sock"}, Case{Found::socket, ""}}) {
        SCOPED_TRACE(c.plant);
        if (!c.plant.empty()) {  // the last case finds the socket of the one before
            ::unlink(path.c_str());
            ASSERT_EQ(std::system(("cd '" + dir + "' && " + c.plant).c_str()), 0);
        }
        const orvtool::BoundSocket bound = bind();
        EXPECT_EQ(bound.err, 0);
        EXPECT_EQ(bound.cleared.found, c.kind);
        EXPECT_TRUE(bound.cleared.movedTo.empty());
        expectSocket();
        EXPECT_FALSE(::access((dir + "/victim-missing").c_str(), F_OK) == 0);
    }
}

TEST_F(SocketPathTest, DirectoryWithContentIsMovedAsideUntouched) {
    ASSERT_EQ(std::system(("mkdir -p '" + path + "/deep' && ln -s ../../victim '" + path +
                           "/deep/link' && echo mine > '" + path + "/deep/file'")
                              .c_str()),
              0);
    const orvtool::BoundSocket bound = bind();
    EXPECT_EQ(bound.err, 0);
    EXPECT_EQ(bound.cleared.found, Found::directory);
    ASSERT_EQ(bound.cleared.movedTo.rfind(path + ".moved.", 0), 0u);
    expectSocket();
    std::ifstream in(bound.cleared.movedTo + "/deep/file");
    std::string mine;
    in >> mine;
    EXPECT_EQ(mine, "mine");
}

TEST_F(SocketPathTest, StopRemovesOnlyItsOwnSocket) {
    const orvtool::BoundSocket first = bind();
    ASSERT_EQ(first.err, 0);
    const orvtool::BoundSocket second = bind();  // another daemon took the path over
    ASSERT_EQ(second.err, 0);
    orvtool::removeOwnSocket(path, first);
    expectSocket();
    orvtool::removeOwnSocket(path, second);
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
}
