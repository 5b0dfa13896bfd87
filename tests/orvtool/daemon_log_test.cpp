// The daemon's log: what a request looks like in a line, the file's rotation and the
// refusal of files and directories another user could have planted, and a standard error
// that never makes the daemon wait.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Log.h"

using orvtool::DaemonLog;
using orvtool::LogFile;
using orvtool::logText;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LogDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orvtool-log.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(dirFd, 0);
    }
    void TearDown() override {
        if (dirFd >= 0) ::close(dirFd);
        (void)!std::system(("rm -rf '" + dir + "'").c_str());
    }
    std::string file(const char* name) const { return dir + "/" + name; }

    std::string dir;
    int dirFd = -1;
};

}  // namespace

TEST(LogText, EscapesEveryControlByteAndCutsAtACharacter) {
    EXPECT_EQ(logText("set 0 3000"), "set 0 3000");
    EXPECT_EQ(logText(std::string("a\\b\x1b[2J\r\n\t", 10) + std::string(1, '\0') +
                      "\x01\x7f\xc2\x85\xc2\xa0风\xff\xe9\xa3"),
              "a\\\\b\\e[2J\\r\\n\\t\\0\\x01\\x7F\\u0085\xc2\xa0风\\xFF\\xE9\\xA3");
    // The separators and bidirectional controls, each between two letters, and the
    // neighbours of each range, which stay as they are.
    for (const auto& [utf8, escaped] :
         std::vector<std::pair<std::string, std::string>>{{"\xd8\x9c", "\\u061C"},
                                                          {"\xe2\x80\x8e", "\\u200E"},
                                                          {"\xe2\x80\x8f", "\\u200F"},
                                                          {"\xe2\x80\xa8", "\\u2028"},
                                                          {"\xe2\x80\xa9", "\\u2029"},
                                                          {"\xe2\x80\xaa", "\\u202A"},
                                                          {"\xe2\x80\xab", "\\u202B"},
                                                          {"\xe2\x80\xac", "\\u202C"},
                                                          {"\xe2\x80\xad", "\\u202D"},
                                                          {"\xe2\x80\xae", "\\u202E"},
                                                          {"\xe2\x81\xa6", "\\u2066"},
                                                          {"\xe2\x81\xa7", "\\u2067"},
                                                          {"\xe2\x81\xa8", "\\u2068"},
                                                          {"\xe2\x81\xa9", "\\u2069"},
                                                          {"\xd8\x9b", "\xd8\x9b"},
                                                          {"\xe2\x80\x8d", "\xe2\x80\x8d"},
                                                          {"\xe2\x80\xaf", "\xe2\x80\xaf"},
                                                          {"\xe2\x81\xa5", "\xe2\x81\xa5"},
                                                          {"\xe2\x81\xaa", "\xe2\x81\xaa"}}) {
        EXPECT_EQ(logText("a" + utf8 + "b"), "a" + escaped + "b") << escaped;
    }

    // 1 + 150 two-byte characters: byte 200 is inside a character, so 199 bytes stay.
    std::string long_ = "a";
    for (int i = 0; i < 150; ++i)
        long_ += "\xc3\xa9";
    const std::string cut = logText(long_, 200);
    EXPECT_EQ(cut, long_.substr(0, 199) + "…[截去 102 字节]");
    EXPECT_EQ(logText(long_, 301), long_);
}

TEST_F(LogDirTest, FileRotatesBeforePassingItsBound) {
    bool unsafe = true;
    LogFile log(dirFd, 100);
    ASSERT_TRUE(log.open(unsafe));
    EXPECT_FALSE(unsafe);
    std::string last, before;
    for (int i = 0; i < 20; ++i) {
        before = last;
        last = "line " + std::to_string(i) + std::string(20, '.') + "\n";
        log.write(last);
    }
    struct stat st;
    ASSERT_EQ(::stat(file("daemon.log").c_str(), &st), 0);
    EXPECT_LE(st.st_size, 100);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(::stat(file("daemon.log.1").c_str(), &st), 0);
    EXPECT_LE(st.st_size, 100);
    const std::string current = slurp(file("daemon.log"));
    EXPECT_EQ(current.substr(current.size() - last.size()), last);
    EXPECT_NE((slurp(file("daemon.log.1")) + current).find(before + last), std::string::npos);
}

TEST_F(LogDirTest, PlantedFilesAndDirectoriesAreRefused) {
    std::ofstream(file("victim")) << "keep";
    bool unsafe = false;
    LogFile log(dirFd, 1 << 20);

    ASSERT_EQ(::symlink(file("victim").c_str(), file("daemon.log").c_str()), 0);
    EXPECT_FALSE(log.open(unsafe));
    EXPECT_TRUE(unsafe);
    ASSERT_EQ(::unlink(file("daemon.log").c_str()), 0);

    ASSERT_EQ(::mkfifo(file("daemon.log").c_str(), 0666), 0);
    EXPECT_FALSE(log.open(unsafe));  // and it did not wait for a reader
    EXPECT_TRUE(unsafe);
    ASSERT_EQ(::unlink(file("daemon.log").c_str()), 0);

    ASSERT_EQ(::link(file("victim").c_str(), file("daemon.log").c_str()), 0);
    EXPECT_FALSE(log.open(unsafe));
    EXPECT_TRUE(unsafe);
    EXPECT_EQ(slurp(file("victim")), "keep");

    // The directory itself: created when missing, refused as a link or when others may
    // write it.
    const std::string created = file("orvane");
    const int fd = orvtool::openLogDirectory(created.c_str(), unsafe);
    ASSERT_GE(fd, 0);
    ::close(fd);
    struct stat st;
    ASSERT_EQ(::stat(created.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 022, 0u);
    ASSERT_EQ(::chmod(created.c_str(), 0775), 0);
    EXPECT_EQ(orvtool::openLogDirectory(created.c_str(), unsafe), -1);
    EXPECT_TRUE(unsafe);
    ASSERT_EQ(::symlink(dir.c_str(), file("linked").c_str()), 0);
    EXPECT_EQ(orvtool::openLogDirectory(file("linked").c_str(), unsafe), -1);
    EXPECT_TRUE(unsafe);
}

// Standard error replaced for one test: a pipe nobody reads, then the log file itself.
TEST_F(LogDirTest, StandardErrorNeverBlocksAndNeverRepeatsTheFile) {
    const int savedErr = ::dup(STDERR_FILENO);
    ASSERT_GE(savedErr, 0);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ::dup2(pipeFds[1], STDERR_FILENO);
    std::size_t dropped;
    {
        DaemonLog log;
        log.start("/nonexistent/orvane");
        // Far more than a pipe holds: the lines that do not fit are dropped, not waited for.
        for (int i = 0; i < 5000; ++i)
            log.write("[serve] ping → OK pong fans=2");
        dropped = log.dropped();
    }
    char buf[256];
    const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);

    const int logFd = ::openat(dirFd, "daemon.log", O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(logFd, STDERR_FILENO);
    ::close(logFd);
    {
        DaemonLog log;
        log.start(dir.c_str(), ::dup(dirFd));
        log.write("[serve] once");
    }
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedErr);

    EXPECT_GT(dropped, 0u);
    EXPECT_LT(dropped, 5000u);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)))
                  .rfind("[serve] ping → OK pong fans=2\n", 0),
              0u);
    const std::string written = slurp(file("daemon.log"));
    EXPECT_EQ(written.find("[serve] once"), written.rfind("[serve] once"));
    EXPECT_EQ(written.substr(written.size() - 13), "[serve] once\n");
    EXPECT_EQ(written[4], '-');  // a UTC time in front: 2025-...Z
}
