// The metrics' exposition writer (label escaping, order, shortest exact values), the
// daemon's report as metrics, and the atomic replacement of the metrics file with its
// refusals as root: a directory that is a link, one others may write or another user owns,
// a file planted at the temporary's name.
#include "Metrics.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "AtomicFile.h"
#include "Exposition.h"
#include "Status.h"

namespace {

namespace fs = std::filesystem;
using metrics::Exposition;
using metrics::Type;
using Step = metrics::WriteFailure::Step;

struct Escaped {
    const char* raw;
    const char* quoted;
};

class LabelEscaping : public ::testing::TestWithParam<Escaped> {};

TEST_P(LabelEscaping, ValuesAreQuotedAsTheFormatReadsThem) {
    Exposition e;
    e.add("m", Type::gauge, "help", 1, {{"name", GetParam().raw}});
    EXPECT_EQ(e.text(), std::string("# HELP m help\n# TYPE m gauge\nm{name=\"") +
                            GetParam().quoted + "\"} 1\n");
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, LabelEscaping,
    ::testing::Values(Escaped{"Left side", "Left side"}, Escaped{"a\\b", "a\\\\b"},
                      Escaped{"say \"hi\"", "say \\\"hi\\\""}, Escaped{"two\nlines", "two\\nlines"},
                      Escaped{"\\\"\n", "\\\\\\\"\\n"}, Escaped{"CPU 核心 1", "CPU 核心 1"}));

TEST(Exposition, TheSameSamplesGiveTheSameTextInAnyOrder) {
    Exposition a;
    a.add("b_total", Type::counter, "counts\\ and\nlines", 3, {{"cause", "wake"}});
    a.add("a", Type::gauge, "temps", 61.5, {{"sensor", "TC0P"}});
    a.add("a", Type::gauge, "temps", -0.25, {{"sensor", "TA0P"}});
    a.family("c", Type::gauge, "empty");
    Exposition b;
    b.family("c", Type::gauge, "empty");
    b.add("a", Type::gauge, "temps", -0.25, {{"sensor", "TA0P"}});
    b.add("a", Type::gauge, "temps", 61.5, {{"sensor", "TC0P"}});
    b.add("b_total", Type::counter, "counts\\ and\nlines", 3, {{"cause", "wake"}});
    const std::string expected =
        "# HELP a temps\n# TYPE a gauge\na{sensor=\"TA0P\"} -0.25\na{sensor=\"TC0P\"} 61.5\n"
        "# HELP b_total counts\\\\ and\\nlines\n# TYPE b_total counter\nb_total{cause=\"wake\"} 3\n"
        "# HELP c empty\n# TYPE c gauge\n";
    EXPECT_EQ(a.text(), expected);
    EXPECT_EQ(b.text(), expected);
    EXPECT_EQ(metrics::formatValue(1.0 / 3), "0.3333333333333333");
    EXPECT_EQ(metrics::formatValue(1e21), "1e+21");
}

// The daemon's report as metrics, without an SMC: only the build, up and the daemon follow.
TEST(MetricsText, TheDaemonsReportBecomesItsSeries) {
    protocol::StatusReport report;
    report.started = 1765375200;
    report.leases = {{501, 1, {0}, std::nullopt}, {502, 0, {1}, 4.5}};
    report.guard = {true, std::nullopt, 95, 90};
    report.counters = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::string text = orvtool::metricsText(nullptr, report);
    std::istringstream lines(text);
    std::string samples;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind('#', 0) != 0 && line.rfind("orvane_build_info", 0) != 0)
            samples += line + "\n";
    EXPECT_EQ(samples,
              "orvane_daemon_fans_set_again_total{cause=\"change\"} 2\n"
              "orvane_daemon_fans_set_again_total{cause=\"wake\"} 1\n"
              "orvane_daemon_guard_trip_celsius 95\n"
              "orvane_daemon_guard_tripped 1\n"
              "orvane_daemon_guard_trips_total 9\n"
              "orvane_daemon_hand_backs_total{cause=\"given_up\"} 6\n"
              "orvane_daemon_hand_backs_total{cause=\"guard\"} 4\n"
              "orvane_daemon_hand_backs_total{cause=\"lease\"} 3\n"
              "orvane_daemon_hand_backs_total{cause=\"sleep\"} 5\n"
              "orvane_daemon_leases 2\n"
              "orvane_daemon_refusals_total{what=\"connection\"} 7\n"
              "orvane_daemon_refusals_total{what=\"request\"} 8\n"
              "orvane_daemon_start_time_seconds 1765375200\n"
              "orvane_daemon_up 1\n"
              "orvane_up 0\n");
    EXPECT_NE(text.find("orvane_build_info{version=\"" ORVANE_VERSION "\"} 1\n"),
              std::string::npos);

    const std::string without = orvtool::metricsText(nullptr, std::nullopt);
    EXPECT_NE(without.find("\norvane_daemon_up 0\n"), std::string::npos);
    EXPECT_EQ(without.find("orvane_daemon_leases"), std::string::npos);
}

// A directory of its own for each test, root's and 0755 as a collector's is.
class AtomicFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/orvmetrics.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    // A regular file's content; empty for anything else.
    static std::string read(const std::string& path) {
        std::error_code ignored;
        if (!fs::is_regular_file(path, ignored)) return "";
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Every name in the directory.
    std::string names() const {
        std::string all;
        for (const auto& entry : fs::directory_iterator(dir))
            all += entry.path().filename().string() + " ";
        return all;
    }

    std::string dir;
};

TEST_F(AtomicFileTest, ReplacesTheFileWholeAs0644AndLeavesNoTemporary) {
    const std::string file = dir + "/orvane.prom";
    { std::ofstream(file) << "old content that is longer than the new\n"; }
    ::umask(0077);
    const auto failure = metrics::replaceFile(file, "orvane_up 1\n");
    ::umask(0022);
    ASSERT_FALSE(failure) << static_cast<int>(failure->step) << " errno " << failure->error;
    EXPECT_EQ(read(file), "orvane_up 1\n");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(names(), "orvane.prom ");
}

// What a refusal leaves: the file as it was, and nothing of this process's in the directory.
struct Refusal {
    const char* name;
    // Prepares the directory the file is written into (the test's own, or one beside it).
    std::function<std::string(const std::string& dir)> prepare;
    Step step;
    bool asRootOnly;
};

class AtomicFileRefusal : public AtomicFileTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(AtomicFileRefusal, NothingIsReplacedOrLeftBehind) {
    const Refusal& r = GetParam();
    if (r.asRootOnly && ::geteuid() != 0) GTEST_SKIP() << "the directory checks are root's";
    const std::string target = r.prepare(dir);
    const std::string file = target + "/orvane.prom";
    const std::string before = names();
    const std::string old = read(file);

    const auto failure = metrics::replaceFile(file, "orvane_up 1\n");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->step, r.step);
    EXPECT_EQ(read(file), old);
    EXPECT_EQ(names(), before);
}

void chownTo(const std::string& path, uid_t uid) {
    ASSERT_EQ(::chown(path.c_str(), uid, uid), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, AtomicFileRefusal,
    ::testing::Values(Refusal{"SymlinkedDirectory",
                              [](const std::string& dir) {
                                  fs::create_directory(dir + "/real");
                                  fs::create_directory_symlink(dir + "/real", dir + "/link");
                                  return dir + "/link";
                              },
                              Step::openDirectory, false},
                      Refusal{"GroupWritableDirectory",
                              [](const std::string& dir) {
                                  fs::create_directory(dir + "/shared");
                                  ::chmod((dir + "/shared").c_str(), 0775);
                                  return dir + "/shared";
                              },
                              Step::untrustedDirectory, true},
                      Refusal{"WorldWritableStickyDirectory",
                              [](const std::string& dir) {
                                  fs::create_directory(dir + "/tmp");
                                  ::chmod((dir + "/tmp").c_str(), 01777);
                                  return dir + "/tmp";
                              },
                              Step::untrustedDirectory, true},
                      Refusal{"DirectoryOfAnotherUser",
                              [](const std::string& dir) {
                                  fs::create_directory(dir + "/theirs");
                                  chownTo(dir + "/theirs", 65534);
                                  return dir + "/theirs";
                              },
                              Step::untrustedDirectory, true},
                      Refusal{"FilePlantedAtTheTemporaryName",
                              [](const std::string& dir) {
                                  std::ofstream(dir + "/" + metrics::temporaryName("orvane.prom"))
                                      << "planted";
                                  std::ofstream(dir + "/orvane.prom") << "old\n";
                                  return dir;
                              },
                              Step::createTemporary, false},
                      Refusal{"LinkPlantedAtTheTemporaryName",
                              [](const std::string& dir) {
                                  fs::create_symlink(
                                      dir + "/elsewhere",
                                      dir + "/" + metrics::temporaryName("orvane.prom"));
                                  return dir;
                              },
                              Step::createTemporary, false},
                      Refusal{"FileIsADirectory",
                              [](const std::string& dir) {
                                  fs::create_directory(dir + "/orvane.prom");
                                  fs::create_directory(dir + "/orvane.prom/inside");
                                  return dir;
                              },
                              Step::rename, false},
                      Refusal{"MissingDirectory",
                              [](const std::string& dir) { return dir + "/none"; },
                              Step::openDirectory, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
