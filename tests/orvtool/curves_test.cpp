// The text form of the standing settings: every form a setting can take reads back as the
// words it is written in (numbers shortest), and each kind of bad word is named as such.
#include "Curves.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

using protocol::parseStanding;
using protocol::Standing;
using protocol::StandingProblem;

TEST(Curves, EverySourceAndPointFormReadsBackAsItsWords) {
    struct Case {
        const char* line;
        const char* words;  // as formatted
    } cases[] = {
        {"curve 0 cpu 40:1500 80:5000", "curve 0 cpu 40:1500 80:5000"},
        {"curve 1 gpu 0:1200 130:6000", "curve 1 gpu 0:1200 130:6000"},
        {"curve 0 TC0P 40.5:1500 80.25:5000", "curve 0 TC0P 40.5:1500 80.25:5000"},
        {"curve 0 Tp0~ 40:1500 80:5000", "curve 0 Tp0~ 40:1500 80:5000"},
        {"curve 0 max:TC0P 40:1500 80:5000", "curve 0 max:TC0P 40:1500 80:5000"},
        {"curve 0 max:cpu,gpu,TG0P 40:1500 80:5000", "curve 0 max:cpu,gpu,TG0P 40:1500 80:5000"},
        {"curve 0 max:TA0P,TB0T,TC0P,TC1C,TG0D,TM0P,cpu,gpu 40:1 50:2",
         "curve 0 max:TA0P,TB0T,TC0P,TC1C,TG0D,TM0P,cpu,gpu 40:1 50:2"},
        {"curve 0 cpu 10:1 20:2 30:3 40:4 50:5 60:6 70:7 80:8",
         "curve 0 cpu 10:1 20:2 30:3 40:4 50:5 60:6 70:7 80:8"},
        // Spelled otherwise, written one way.
        {"curve 0  cpu 40.0:1500 080:05000 ", "curve 0 cpu 40:1500 80:5000"},
        {"curve 0 cpu 40.50:1500 80:5000", "curve 0 cpu 40.5:1500 80:5000"},
        {"floor 1 2000", "floor 1 2000"},
        {"floor 01 2000", "floor 1 2000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const protocol::StandingParse parsed = parseStanding(c.line);
        const auto* standing = std::get_if<Standing>(&parsed);
        ASSERT_NE(standing, nullptr);
        EXPECT_EQ(protocol::formatStanding(*standing), c.words);
        const protocol::StandingParse again = parseStanding(c.words);
        ASSERT_TRUE(std::holds_alternative<Standing>(again));
        EXPECT_EQ(std::get<Standing>(again), *standing);
    }
}

struct BadWords {
    const char* line;
    StandingProblem::Kind kind;
    const char* word;  // the word named, "" when none
};

class CurvesRefuse : public ::testing::TestWithParam<BadWords> {};

TEST_P(CurvesRefuse, NamesTheProblemAndStoresNothing) {
    const protocol::StandingParse parsed = parseStanding(GetParam().line);
    ASSERT_TRUE(std::holds_alternative<StandingProblem>(parsed));
    const StandingProblem& problem = std::get<StandingProblem>(parsed);
    EXPECT_EQ(problem.kind, GetParam().kind);
    EXPECT_EQ(problem.word, GetParam().word);
}

using Kind = StandingProblem::Kind;
INSTANTIATE_TEST_SUITE_P(
    Table, CurvesRefuse,
    ::testing::Values(
        BadWords{"curve 0 cpu 40:1500", Kind::pointCount, ""},
        BadWords{"curve 0 cpu 10:1 20:2 30:3 40:4 50:5 60:6 70:7 80:8 90:9", Kind::pointCount, ""},
        BadWords{"curve 0 cpu", Kind::pointCount, ""},
        BadWords{"curve 0 cpu 80:1500 40:5000", Kind::falling, "40:5000"},
        BadWords{"curve 0 cpu 40:1500 40:5000", Kind::falling, "40:5000"},
        BadWords{"curve 0 cpu forty:1500 80:5000", Kind::point, "forty:1500"},
        BadWords{"curve 0 cpu 40:1500 80:5k", Kind::point, "80:5k"},
        BadWords{"curve 0 cpu 40:1500.5 80:5000", Kind::point, "40:1500.5"},
        BadWords{"curve 0 cpu 40 80:5000", Kind::point, "40"},
        BadWords{"curve 0 cpu 4e1:1500 80:5000", Kind::point, "4e1:1500"},
        BadWords{"curve 0 cpu nan:1500 80:5000", Kind::point, "nan:1500"},
        BadWords{"curve 0 cpu :1500 80:5000", Kind::point, ":1500"},
        BadWords{"curve 0 cpu 40:0 80:5000", Kind::speed, "40:0"},
        BadWords{"curve 0 cpu 40:1500 80:-5000", Kind::speed, "80:-5000"},
        BadWords{"curve 0 cpu -1:1500 80:5000", Kind::temperatureRange, "-1:1500"},
        BadWords{"curve 0 cpu 40:1500 130.5:5000", Kind::temperatureRange, "130.5:5000"},
        BadWords{"curve 0 TC0 40:1500 80:5000", Kind::source, "TC0"},
        BadWords{"curve 0 CPU 40:1500 80:5000", Kind::source, "CPU"},
        BadWords{"curve 0 max: 40:1500 80:5000", Kind::source, "max:"},
        BadWords{"curve 0 max:cpu,,gpu 40:1500 80:5000", Kind::source, "max:cpu,,gpu"},
        BadWords{"curve 0 max:TC0P,TC0P,TC0P,TC0P,TC0P,TC0P,TC0P,TC0P,TC0P 40:1 50:2", Kind::source,
                 "max:TC0P,TC0P,TC0P,TC0P,TC0P,TC0P,TC0P,TC0P,TC0P"},
        BadWords{"curve 0 off", Kind::source, "off"},
        BadWords{"curve zero cpu 40:1500 80:5000", Kind::fan, "zero"},
        BadWords{"curve 0", Kind::usage, ""}, BadWords{"floor 0 0", Kind::speed, "0"},
        BadWords{"floor 0 fast", Kind::speed, "fast"}, BadWords{"floor x 2000", Kind::fan, "x"},
        BadWords{"floor 0 2000 3000", Kind::usage, ""}, BadWords{"fan 0 2000", Kind::usage, ""},
        BadWords{"", Kind::usage, ""}));
