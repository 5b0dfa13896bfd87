// Several programs reading through the driver at once: root processes share the driver's one
// key selection, a user's process reads the fans' own files, and another program may move
// the selection at any time. With the model's clock frozen every run must print exactly
// what a run alone printed: a key read while someone else had selected another would show.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Deadline.h"
#include "DriverMachine.h"

namespace drivertest {
namespace {

struct Case {
    const char* profile;
    const char* driver;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.profile << " on " << c.driver;
}

class DriverConcurrent : public DriverTest, public testing::WithParamInterface<Case> {
  protected:
    // What one command prints when it runs alone.
    struct Reference {
        std::vector<std::string> args;
        uid_t uid;
        std::string text;
    };

    // Runs every reference command at once, round after round until `until` has ended (or
    // a safety limit), and compares each output with the one it gave alone. Returns the
    // rounds run.
    int storm(const std::vector<Reference>& refs, Process& until) {
        const Deadline deadline(std::chrono::seconds(15));
        int rounds = 0;
        while (!deadline.passed() && until.running()) {
            std::vector<std::pair<Process, std::string>> running;
            for (const Reference& ref : refs) {
                const std::string log = machine->nextLog();
                running.emplace_back(machine->startTool(ref.args, log, ref.uid), log);
            }
            for (std::size_t i = 0; i < refs.size(); ++i) {
                const int status = running[i].first.finish(std::chrono::seconds(60));
                const std::string text = machine->ns().read(running[i].second);
                SCOPED_TRACE(refs[i].args[0] + (refs[i].uid == 0 ? " as root" : " as nobody"));
                EXPECT_EQ(status, 0) << text;
                EXPECT_EQ(text, refs[i].text);
            }
            ++rounds;
            if (testing::Test::HasFailure()) break;
        }
        return rounds;
    }

    // The rows of `orvtool watch` without their time column; every one must be the first.
    void expectSteadyWatch(const std::string& text) {
        std::vector<std::string> rows;
        for (std::size_t at = text.find('\n'); at != std::string::npos && at + 1 < text.size();) {
            const std::size_t end = text.find('\n', at + 1);
            const std::string row = text.substr(at + 1, end - at - 1);
            rows.push_back(row.size() > 5 ? row.substr(5) : row);
            at = end;
        }
        ASSERT_GE(rows.size(), 3u) << text;
        for (const std::string& row : rows)
            EXPECT_EQ(row, rows.front()) << text;
    }
};

TEST_P(DriverConcurrent, ProgramsReadingAtOnceGetOnlyTheirOwnKeys) {
    ASSERT_TRUE(mount(GetParam().profile, GetParam().driver));
    std::vector<Reference> refs{
        {{"info"}, 0, ""}, {{"info"}, 0, ""}, {{"info"}, kNobody, ""}, {{"rpm"}, kNobody, ""}};
    for (Reference& ref : refs) {
        const Output alone = machine->tool(ref.args, ref.uid);
        ASSERT_EQ(alone.status, 0) << alone.text;
        ref.text = alone.text;
    }
    ASSERT_NE(refs[0].text.find(backendLine(GetParam().driver)), std::string::npos) << refs[0].text;

    // A root `watch` reads throughout; root and nobody processes come and go beside it.
    Process watch = machine->startTool({"watch", "2"}, "/tmp/watch.log");
    const int rounds = storm(refs, watch);
    EXPECT_GT(rounds, 0);
    EXPECT_EQ(watch.finish(), 0);
    expectSteadyWatch(machine->ns().read("/tmp/watch.log"));
    std::cout << "[          ] " << rounds << " rounds of " << refs.size()
              << " readers beside watch\n";
}

// Another program (not ours, without our lock) selecting keys of its own all the time: every
// read it spoils is noticed and made again.
TEST_P(DriverConcurrent, ASelectionMovedByAnotherProgramIsNoticed) {
    ASSERT_TRUE(mount(GetParam().profile, GetParam().driver));
    std::vector<Reference> refs{{{"info"}, 0, ""}, {{"rpm"}, 0, ""}};
    for (Reference& ref : refs) {
        const Output alone = machine->tool(ref.args, ref.uid);
        ASSERT_EQ(alone.status, 0) << alone.text;
        ref.text = alone.text;
    }
    const std::string dir = machine->tree().directory();
    Process other = machine->start(
        {"/bin/sh", "-c",
         "i=0; while :; do echo $i > " + dir + "/key_at_index; cat " + dir +
             "/key_at_index_data > /dev/null; i=$(( (i + 1) % 4 )); sleep 0.005; done"});
    ASSERT_TRUE(other.started());
    Process timer = machine->start({"/bin/sleep", "2"});
    const int rounds = storm(refs, timer);
    other.kill();
    EXPECT_GT(rounds, 0);
    std::cout << "[          ] " << rounds << " rounds beside another program\n";
}

INSTANTIATE_TEST_SUITE_P(BothDrivers, DriverConcurrent,
                         testing::Values(Case{"older-2fan.prof", "mainline"},
                                         Case{"recent-2fan.prof", "t2"}),
                         [](const testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.driver) == "t2" ? "T2" : "Mainline";
                         });

}  // namespace
}  // namespace drivertest
