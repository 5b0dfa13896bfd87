// The replies as values: every reply the daemon can build reads back as itself, and a
// line of the hardware layer's wording is classified as the application must react to it.
#include "Reply.h"

#include <gtest/gtest.h>

#include "ControlProtocol.h"
#include "SMCError.h"
#include "Status.h"
#include "StatusBuilder.h"

using protocol::parseReply;
using protocol::Reply;
using protocol::ReplyKind;

namespace {

bool same(const Reply& a, const Reply& b) {
    return a.kind == b.kind && a.fan == b.fan && a.rpm == b.rpm && a.count == b.count &&
           a.text == b.text;
}

}  // namespace

TEST(Reply, EveryReplyTheDaemonBuildsReadsBackAsItself) {
    const Reply replies[] = {
        Reply::pong(2),
        Reply::set(1, 4000),
        Reply::set(-1, -5),
        Reply::autoFan(0),
        Reply::autoAll(),
        Reply::bye(),
        Reply::hold(10),
        Reply::busy(),
        Reply::quitRefused(),
        Reply::setUsage(),
        Reply::error(SMCError::writeRejected(static_cast<std::int32_t>(0xE00002C1)).description()),
        Reply::error(SMCError::writeRejected(static_cast<std::int32_t>(0xE00002CF)).description()),
        Reply::error(SMCError::keyNotFound("F9Mn").description()),
        Reply::error(
            SMCError::restoreFailed(
                {{0, SMCError::writeRejected(static_cast<std::int32_t>(0xE00002C1)).description()},
                 {1, SMCError::keyNotFound("F1Md").description()}})
                .description()),
        Reply::unknownCommand("fly 0"),
        Reply::tooHot(),
        Reply::curve(0),
        Reply::curveOff(1),
        Reply::floor(1, 2000),
        Reply::floorOff(0),
        Reply::curves({}),
        Reply::curves("curve 0 max:cpu,TG0P 40:1500 80.5:5000; floor 1 2000"),
        Reply::standingInvalid("点的温度须递增: 40:2000"),
        Reply::standingRefused(),
        Reply::followsCurve(1),
        Reply::followsCurve(12),
        Reply::hasFloor(0),
        Reply::status(protocol::formatStatus({})),
    };
    for (const Reply& r : replies) {
        const std::string line = protocol::formatReply(r);
        EXPECT_TRUE(same(parseReply(line), r)) << line;
        EXPECT_EQ(protocol::isOK(r.kind), line.rfind("OK", 0) == 0) << line;
    }
    // The refusal kinds come from the layer's own descriptions, several fans' included.
    EXPECT_EQ(replies[10].kind, ReplyKind::writeRefused);
    EXPECT_EQ(replies[11].kind, ReplyKind::writeUnsupported);
    EXPECT_EQ(replies[12].kind, ReplyKind::smcError);
    EXPECT_EQ(replies[13].kind, ReplyKind::writeRefused);
}

TEST(Reply, LinesNoDaemonWordedAreNeverTakenForItsReplies) {
    struct Case {
        const char* line;
        ReplyKind kind;
    } cases[] = {
        {"OK set fan=1 rpm=", ReplyKind::otherOK},
        {"OK set fan=x rpm=3", ReplyKind::otherOK},
        {"OK set fan=99999999999999999999 rpm=3", ReplyKind::otherOK},
        {"OK pong fans=2 extra", ReplyKind::otherOK},
        {"OK status", ReplyKind::otherOK},
        {"OK", ReplyKind::otherOK},
        {"ERR", ReplyKind::smcError},
        {"ERR 写入被拒 later", ReplyKind::writeRefused},
        {"", ReplyKind::malformed},
        {"ok set fan=0 rpm=1", ReplyKind::malformed},
        {"hello", ReplyKind::malformed},
        {"OK curve fan=", ReplyKind::otherOK},
        {"OK floor fan=1", ReplyKind::otherOK},
        {"OK floor off fan=1 rpm=2", ReplyKind::otherOK},
        {"OK curvesfloor 1 2000", ReplyKind::otherOK},
        // The refusals naming a fan name the same fan twice.
        {"ERR 风扇 1 正在按曲线运行：用 orvtool curve 2 off 结束曲线", ReplyKind::smcError},
        {"ERR 风扇 x 设有最低转速：用 orvtool floor x off 取消", ReplyKind::smcError},
        {"ERR 风扇 1 设有最低转速：用 orvtool floor 1 off 取消 now", ReplyKind::smcError},
    };
    for (const Case& c : cases) {
        const Reply r = parseReply(c.line);
        EXPECT_EQ(r.kind, c.kind) << c.line;
        if (c.kind == ReplyKind::otherOK || c.kind == ReplyKind::malformed) {
            EXPECT_EQ(protocol::formatReply(r), c.line);
        }
    }
}

// The status report reads back as itself, the nulls of what does not apply included; a
// report with a field missing or of another type is not taken for one.
TEST(Reply, StatusReportReadsBackAndRefusesWhatItCouldNotHaveWritten) {
    using namespace protocol;
    StatusReport r;
    r.version = "1.0.0";
    r.started = 1765375200;
    r.pid = 812;
    r.ownerUid = 501;
    r.leaseGrace = 10;
    r.fans.push_back(
        {0, "Left", 2510.5, 2500, 1200, 6000, true, FanControl::lease, 501L, true, std::nullopt});
    r.fans.push_back({1, "Right", std::nullopt, std::nullopt, 1200, 6000, true, FanControl::curve,
                      std::nullopt, false, "curve 1 cpu 40:1500 80:5000"});
    r.leases.push_back({501, 0, {0}, 7.5});
    r.guard = {true, 96.25, 95, 90};
    r.counters = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::string json = formatStatus(r);
    EXPECT_EQ(json.find('\n'), std::string::npos);
    EXPECT_EQ(parseStatus(json), r) << json;
    EXPECT_EQ(parseStatus(formatStatus({})), StatusReport{});

    const std::string broken[] = {
        "",
        "[]",
        "{",
        json.substr(0, json.size() - 1),
        // A field missing, and one of another type.
        [&] {
            std::string s = json;
            s.erase(s.find("\"lease_grace\":10,"), 15);
            return s;
        }(),
        [&] {
            std::string s = json;
            s.replace(s.find("\"control\":\"lease\""), 17, "\"control\":\"boss\"");
            return s;
        }(),
        [&] {
            std::string s = json;
            s.replace(s.find("\"guard_trips\":9"), 15, "\"guard_trips\":-9");
            return s;
        }(),
    };
    for (const std::string& line : broken)
        EXPECT_EQ(parseStatus(line), std::nullopt) << line;
}

// Who the status says holds a fan, from the daemon's books and the SMC's forced reading: a
// standing setting first (also over a lease, and while the guard leaves the fan to the SMC),
// then a kept fan by its lease or as its requester's set, a forced fan nobody keeps as root's
// own write, and a fan being handed back as the SMC's.
TEST(Reply, StatusControlFollowsTheDaemonsBooksFirst) {
    using protocol::FanControl;
    const protocol::Standing floor{protocol::Standing::Kind::floor, 1, {}, {}, 2000};
    struct Case {
        orvtool::FanHolders holders;
        bool forced;
        FanControl control;
        std::optional<long> uid;
        std::optional<std::string> setting;
    };
    const Case cases[] = {
        {{floor, 0L, 501L, false}, true, FanControl::floor, std::nullopt, "floor 1 2000"},
        {{floor, std::nullopt, std::nullopt, false},
         false,
         FanControl::floor,
         std::nullopt,
         "floor 1 2000"},
        {{std::nullopt, 501L, 501L, false}, true, FanControl::lease, 501L, std::nullopt},
        {{std::nullopt, 1001L, std::nullopt, false}, true, FanControl::set, 1001L, std::nullopt},
        // Forced again at another speed by root on the SMC: the keeper let it go, the lease
        // still names it.
        {{std::nullopt, std::nullopt, 501L, false},
         true,
         FanControl::set,
         std::nullopt,
         std::nullopt},
        {{std::nullopt, std::nullopt, std::nullopt, true},
         true,
         FanControl::automatic,
         std::nullopt,
         std::nullopt},
        {{std::nullopt, std::nullopt, std::nullopt, false},
         false,
         FanControl::automatic,
         std::nullopt,
         std::nullopt},
    };
    for (const Case& c : cases) {
        protocol::FanState state;
        state.forced = c.forced;
        state.uid = 7;  // whatever was there before is replaced
        orvtool::assignControl(state, c.holders);
        SCOPED_TRACE(protocol::controlName(c.control));
        EXPECT_EQ(state.control, c.control);
        EXPECT_EQ(state.uid, c.uid);
        EXPECT_EQ(state.lease, c.control == FanControl::lease);
        EXPECT_EQ(state.setting, c.setting);
    }
}
