#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "Emulator.h"
#include "FakeSMC.h"
#include "FanController.h"
#include "Process.h"
#include "SMCCodec.h"
#include "TempRecord.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

std::string errorText(const std::function<void()>& f) {
    try {
        f();
    } catch (const SMCError& e) {
        return e.description();
    }
    return "no error";
}

// A one-fan machine with a mode key, limits 1200..6000 and the given type for speeds.
std::string modeMachine(const std::string& type, const std::string& mn, const std::string& mx,
                        const std::string& tgType) {
    std::string size = type == "fpe2" ? "2" : "4";
    std::string tgSize = tgType == "fpe2" ? "2" : "4";
    return "\"FNum\" \"ui8 \" 1 01\n"
           "\"F0Md\" \"ui8 \" 1 00\n"
           "\"F0Mn\" \"" +
           type + "\" " + size + " " + mn +
           "\n"
           "\"F0Mx\" \"" +
           type + "\" " + size + " " + mx +
           "\n"
           "\"F0Ac\" \"" +
           type + "\" " + size + " " + mn +
           "\n"
           "\"F0Tg\" \"" +
           tgType + "\" " + tgSize + " " + (tgSize == "2" ? "0000" : "00000000") +
           "\n"
           "\"TC0P\" \"sp78\" 2 3000\n";
}

}  // namespace

TEST(FanWrites, ClampsToTheLimitsCapturedAtStart) {
    Emulator emu(modeMachine("flt ", "00009644", "0080bb45", "flt "), true);  // 1200..6000
    FanController fc(noRecord());
    EXPECT_EQ(fc.setFanRPM(0, 800), 1200);
    EXPECT_EQ(emu.value("F0Tg"), (Bytes{0x00, 0x00, 0x96, 0x44}));
    EXPECT_EQ(fc.setFanRPM(0, 7000), 6000);
    EXPECT_EQ(fc.setFanRPM(0, 2500), 2500);
    EXPECT_EQ(fc.setFanRPM(0, INT64_MIN), 1200);
    EXPECT_EQ(fc.setFanRPM(0, INT64_MAX), 6000);
    EXPECT_EQ(emu.value("F0Md"), Bytes{0x01});
}

TEST(FanWrites, FractionalMinimumIsTruncatedAfterClamping) {
    Emulator emu(modeMachine("flt ", "00109644", "0080bb45", "flt "), true);  // 1200.5..6000
    FanController fc(noRecord());
    ASSERT_EQ(fc.minRPM(0), 1200.5);
    EXPECT_EQ(fc.setFanRPM(0, 1000), 1200);
    EXPECT_EQ(emu.value("F0Tg"), (Bytes{0x00, 0x00, 0x96, 0x44}));
}

TEST(FanWrites, CrossedOrMissingLimitsLetTheMaximumWin) {
    {
        Emulator emu(modeMachine("fpe2", "2ee0", "1f40", "fpe2"), true);  // min 3000, max 2000
        FanController fc(noRecord());
        EXPECT_EQ(fc.setFanRPM(0, 2500), 2000);
    }
    Emulator emu("\"FNum\" \"ui8 \" 1 01\n\"F0Md\" \"ui8 \" 1 00\n\"F0Tg\" \"fpe2\" 2 1f40\n",
                 true);
    FanController fc(noRecord());
    EXPECT_EQ(fc.setFanRPM(0, 2500), 0);
    EXPECT_EQ(emu.value("F0Tg"), (Bytes{0x00, 0x00}));
}

TEST(FanWrites, TargetIsEncodedInTheTypeOfTheTargetKey) {
    {
        Emulator emu(modeMachine("flt ", "00009644", "0080bb45", "fpe2"), true);
        FanController fc(noRecord());
        EXPECT_EQ(fc.setFanRPM(0, 2000), 2000);
        EXPECT_EQ(emu.value("F0Md"), Bytes{0x01});
        EXPECT_EQ(emu.value("F0Tg"), (Bytes{0x1F, 0x40}));
    }
    Emulator emu(modeMachine("fpe2", "12c0", "5dc0", "flt "), true);
    FanController fc(noRecord());
    EXPECT_EQ(fc.setFanRPM(0, 2000), 2000);
    EXPECT_EQ(emu.value("F0Tg"), (Bytes{0x00, 0x00, 0xFA, 0x44}));
}

TEST(FanWrites, ModeKeyRestoreClearsOnlyTheModeByte) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    FanController fc(noRecord());
    emu.control("clock freeze");
    fc.setFanRPM(1, 4000);
    Bytes target = emu.value("F1Tg");
    EXPECT_TRUE(fc.liveFans()[1].forced);
    fc.restoreAuto(1);
    EXPECT_EQ(emu.value("F1Md"), Bytes{0x00});
    EXPECT_EQ(emu.value("F1Tg"), target);
    EXPECT_FALSE(fc.liveFans()[1].forced);
}

TEST(FanWrites, MinimumPathRaisesMinimumAndRestoresCapturedBytes) {
    Emulator emu(Emulator::shippedProfile("older-2fan.prof"));
    FanController fc(noRecord());
    Bytes original = emu.value("F0Mn");
    ASSERT_EQ(original.size(), 2u);
    EXPECT_EQ(fc.setFanRPM(0, 3000), 3000);
    EXPECT_EQ(emu.value("F0Mn"), (Bytes{0x2E, 0xE0}));
    EXPECT_EQ(fc.minRPM(0), SMCCodec::decode(original, "fpe2"));
    fc.setFanRPM(0, 1);  // clamps against the minimum read at start, not the raised one
    EXPECT_EQ(emu.value("F0Mn"), original);
    fc.setFanRPM(0, 3000);
    fc.restoreAllAuto();
    EXPECT_EQ(emu.value("F0Mn"), original);
    EXPECT_EQ(emu.value("F1Mn"), fc.allFans()[1].originalMnBytes.value());
}

TEST(FanWrites, ForcedFanConvergesInTheEmulator) {
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    emu.control("clock freeze");
    FanController fc(noRecord());
    fc.setFanRPM(0, 4000);
    emu.control("clock step 10");
    auto live = fc.liveFans();
    EXPECT_TRUE(live[0].forced);
    EXPECT_EQ(live[0].targetRPM, 4000);
    EXPECT_NEAR(live[0].currentRPM, 4000, 40);
    fc.restoreAllAuto();
    EXPECT_FALSE(fc.liveFans()[0].forced);
}

TEST(FanWrites, BadIndicesAndUnrecordedMinimum) {
    Emulator emu("\"FNum\" \"ui8 \" 1 02\n\"F1Mn\" \"fpe2\" 2 12c0\n\"F1Mx\" \"fpe2\" 2 5dc0\n",
                 true);
    FanController fc(noRecord());
    EXPECT_EQ(errorText([&] { fc.setFanRPM(2, 2000); }), "key F2Mn 不存在");
    EXPECT_EQ(errorText([&] { fc.setFanRPM(-1, 2000); }), "key F-1Mn 不存在");
    EXPECT_EQ(errorText([&] { fc.restoreAuto(2); }), "key F2Mn 不存在");
    EXPECT_EQ(errorText([&] { fc.restoreAuto(0); }), "key F0Mn(原始值未记录) 不存在");
    // Fan 0 has neither a mode key nor a minimum: nothing can force it, so handing every
    // fan back skips it and restores fan 1.
    emu.control("set F1Mn 1f40");
    EXPECT_EQ(errorText([&] { fc.restoreAllAuto(); }), "no error");
    EXPECT_EQ(emu.value("F1Mn"), (Bytes{0x12, 0xc0}));
    EXPECT_EQ(errorText([&] { fc.setFanRPM(0, 2000); }), "key F0Mn 不存在");
}

class FanWritesFake : public ::testing::Test {
  protected:
    FakeSMC smc;
    std::vector<std::string> writtenKeys() {
        std::vector<std::string> keys;
        for (const auto& b : smc.blocks()) {
            if (b[42] == 6) keys.push_back({char(b[3]), char(b[2]), char(b[1]), char(b[0])});
        }
        return keys;
    }
};

TEST_F(FanWritesFake, OutOfRangeWriteTouchesNothing) {
    smc.addKey("FNum", "ui8 ", {0x01});
    FanController fc(noRecord());
    smc.clearBlocks();
    EXPECT_EQ(errorText([&] { fc.setFanRPM(1, 2000); }), "key F1Mn 不存在");
    EXPECT_TRUE(smc.blocks().empty());
}

TEST_F(FanWritesFake, NonFiniteLimitWritesNothing) {
    smc.addKey("FNum", "ui8 ", {0x02});
    smc.addKey("F0Md", "ui8 ", {0x00});
    smc.addKey("F0Tg", "flt ", {0, 0, 0, 0});
    smc.addKey("F0Mn", "flt ", {0x00, 0x00, 0x96, 0x44});
    smc.addKey("F0Mx", "flt ", {0x00, 0x00, 0xC0, 0x7F});  // NaN
    smc.addKey("F1Mn", "flt ", {0x00, 0x00, 0x80, 0xFF});  // -infinity
    smc.addKey("F1Mx", "flt ", {0x00, 0x80, 0xBB, 0x45});
    FanController fc(noRecord());
    EXPECT_EQ(errorText([&] { fc.setFanRPM(0, 2000); }), "key F0Mx dataType 异常: flt ");
    EXPECT_EQ(errorText([&] { fc.setFanRPM(1, 2000); }), "key F1Mn dataType 异常: flt ");
    EXPECT_TRUE(writtenKeys().empty());
}

TEST_F(FanWritesFake, RestoreAllGoesOnPastAFailureAndRaisesIt) {
    smc.addKey("FNum", "ui8 ", {0x02});
    smc.addKey("F0Md", "ui8 ", {0x01});
    smc.addKey("F1Md", "ui8 ", {0x01});
    smc.failKey("F0Md", 6, static_cast<std::int32_t>(0xE00002C1));
    FanController fc(noRecord());
    EXPECT_EQ(errorText([&] { fc.restoreAllAuto(); }),
              "写入被拒(kr=0xe00002c1)——普通用户权限不足，需 root/特权 helper");
    EXPECT_EQ(writtenKeys(), (std::vector<std::string>{"F0Md", "F1Md"}));
    EXPECT_EQ(smc.value("F1Md"), Bytes{0x00});
    // Two failures name both fans; each fan's own error follows.
    smc.addKey("F1Md", "ui8 ", {0x01});
    smc.failKey("F1Md", 6, static_cast<std::int32_t>(0xE00002C1));
    EXPECT_EQ(errorText([&] { fc.restoreAllAuto(); }),
              "风扇 0、1 恢复自动失败: 写入被拒(kr=0xe00002c1)——普通用户权限不足，需 root/特权 "
              "helper；写入被拒(kr=0xe00002c1)——普通用户权限不足，需 root/特权 helper");
}

TEST_F(FanWritesFake, UnreadableModeKeyIsAnErrorNotTheMinimumPath) {
    smc.addKey("FNum", "ui8 ", {0x01});
    smc.addKey("F0Md", "ui8 ", {0x01});
    smc.addKey("F0Tg", "flt ", {0x00, 0x00, 0x96, 0x44});
    smc.addKey("F0Mn", "flt ", {0x00, 0x00, 0x96, 0x44});
    smc.addKey("F0Mx", "flt ", {0x00, 0x80, 0xBB, 0x45});
    FanController fc(noRecord());
    // Taken for absent, the failed read would raise F0Mn (set) or write it back while the
    // mode byte stays set (restore), and either would answer success.
    smc.failKey("F0Md", 5, static_cast<std::int32_t>(0xE00002BC));
    EXPECT_EQ(errorText([&] { fc.setFanRPM(0, 3000); }), "SMC 调用失败(cmd=5, kr=0xe00002bc)");
    EXPECT_EQ(errorText([&] { fc.restoreAuto(0); }), "SMC 调用失败(cmd=5, kr=0xe00002bc)");
    EXPECT_TRUE(writtenKeys().empty());
    EXPECT_EQ(smc.value("F0Md"), Bytes{0x01});
}

TEST_F(FanWritesFake, MissingTargetKeyLeavesTheModeByteSet) {
    smc.addKey("FNum", "ui8 ", {0x01});
    smc.addKey("F0Md", "ui8 ", {0x00});
    smc.addKey("F0Mx", "fpe2", {0x5D, 0xC0});
    FanController fc(noRecord());
    EXPECT_EQ(errorText([&] { fc.setFanRPM(0, 2000); }), "key F0Tg 不存在");
    EXPECT_EQ(smc.value("F0Md"), Bytes{0x01});
}

// A process without root is refused by the SMC itself, across the process boundary.
TEST(FanWritesPrivilege, NonRootWriteIsRejected) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    ProcessOptions nobody;
    nobody.uid = 65534;
    Process child = Process::call(
        [] {
            std::string text = "write accepted";
            try {
                FanController fc(noRecord());
                fc.setFanRPM(0, 3000);
            } catch (const SMCError& e) {
                text = e.description();
            }
            return ::write(STDOUT_FILENO, text.data(), text.size()) < 0;
        },
        nobody);
    const std::string text = child.out();
    EXPECT_EQ(child.finish(), 0);
    EXPECT_EQ(text, "写入被拒(kr=0xe00002c1)——普通用户权限不足，需 root/特权 helper");
    EXPECT_EQ(emu.value("F0Md"), Bytes{0x00});
}

// Indices without a valid mode key still give the minimum-path errors.
TEST_F(FanWritesFake, IndicesWithoutValidKeysKeepTheirErrors) {
    smc.addKey("FNum", "ui8 ", {0x0B});
    smc.addKey("F0Md", "ui8 ", {0x00});
    FanController fc(noRecord());
    EXPECT_EQ(errorText([&] { fc.restoreAuto(-1); }), "key F-1Mn 不存在");
    EXPECT_EQ(errorText([&] { fc.restoreAuto(10); }), "key F10Mn(原始值未记录) 不存在");
}

// A later process (a restarted daemon, `orvtool auto`) takes the factory minimum from the
// boot's record, though the fan was left forced: it sees the fan forced at the raised
// minimum and hands back the factory bytes.
TEST_F(FanWritesFake, RecordGivesLaterControllersTheFactoryMinimum) {
    smc.addKey("FNum", "ui8 ", {0x02});
    for (const char* fan : {"F0", "F1"}) {
        smc.addKey(std::string(fan) + "Mn", "fpe2", {0x1f, 0x40});  // 2000
        smc.addKey(std::string(fan) + "Mx", "fpe2", {0x5d, 0xc0});  // 6000
    }
    TempRecord tmp;
    FanController(tmp.options()).setFanRPM(0, 3000);
    ASSERT_EQ(smc.value("F0Mn"), (Bytes{0x2e, 0xe0}));

    FanController later(tmp.options());
    EXPECT_EQ(later.recordProblem(), RecordProblem::none);
    EXPECT_EQ(later.minRPM(0), 2000);
    EXPECT_EQ(later.allFans()[0].originalMnBytes, (Bytes{0x1f, 0x40}));
    EXPECT_TRUE(later.isForced(0));
    EXPECT_FALSE(later.isForced(1));
    const auto live = later.liveFans();
    EXPECT_TRUE(live[0].forced);
    EXPECT_EQ(live[0].targetRPM, 3000);
    EXPECT_FALSE(live[1].forced);
    later.restoreAllAuto();
    EXPECT_EQ(smc.value("F0Mn"), (Bytes{0x1f, 0x40}));
    EXPECT_FALSE(later.isForced(0));

    // A record made for other key sizes or another fan count is ignored and, by a process
    // that keeps the record, replaced with what it captured; one that only reads leaves it.
    for (const MinimumRecord& wrong : {MinimumRecord{{Bytes{0, 0, 0xfa, 0x44}, std::nullopt}},
                                       MinimumRecord{{Bytes{0x2e, 0xe0}}}}) {
        ASSERT_EQ(writeMinimumRecord(tmp.path(), wrong), 0);
        FanController reader(tmp.options(false));
        EXPECT_NE(reader.recordProblem(), RecordProblem::none);
        EXPECT_EQ(readMinimumRecord(tmp.path()).record, wrong);
        FanController keeper(tmp.options());
        EXPECT_EQ(keeper.originalMinimum(0), (Bytes{0x1f, 0x40}));
        EXPECT_EQ(readMinimumRecord(tmp.path()).record,
                  (MinimumRecord{{Bytes{0x1f, 0x40}, Bytes{0x1f, 0x40}}}));
    }
}

TEST_F(FanWritesFake, MinimumIsNeverRaisedUnlessKnownNorSetBelowTheOriginal) {
    smc.addKey("FNum", "ui8 ", {0x02});
    smc.addKey("F0Mn", "fpe2", {0x1f, 0x40});
    smc.addKey("F0Mx", "fpe2", {0x5d, 0xc0});
    smc.failKey("F0Mn", 5, static_cast<std::int32_t>(0xE00002BC));  // unreadable at start
    smc.addKey("F1Mn", "fpe2", {0x12, 0xc2});                       // 1200.5, no maximum
    TempRecord tmp;
    FanController fc(tmp.options());
    smc.clearBlocks();
    EXPECT_EQ(errorText([&] { fc.setFanRPM(0, 3000); }),
              "key F0Mn 原始值未记录（启动时读不到且开机记录中没有），不抬高该风扇的最小转速");
    EXPECT_TRUE(writtenKeys().empty());
    EXPECT_FALSE(fc.isForced(0));
    // Nothing could have raised it, so handing back every fan skips it.
    const auto report = fc.restoreEveryFan();
    EXPECT_EQ(report.skipped, std::vector<int>{0});
    EXPECT_EQ(report.restored, std::vector<int>{1});

    // The maximum (0, unreadable) would win over the minimum, and a fractional minimum
    // truncates below itself: either way the original bytes are written, never less.
    for (const std::int64_t rpm : {std::int64_t{5000}, std::int64_t{0}}) {
        smc.addKey("F1Mn", "fpe2", {0x2e, 0xe0});
        EXPECT_EQ(fc.setFanRPM(1, rpm), 1200);
        EXPECT_EQ(smc.value("F1Mn"), (Bytes{0x12, 0xc2}));
    }

    // A driver that writes whole rpm hands the fractional original back as 1200: that is
    // the original too. 1200.25 or 1201 are not.
    const std::pair<Bytes, bool> minimums[] = {
        {{0x12, 0xc0}, false}, {{0x12, 0xc1}, true}, {{0x12, 0xc4}, true}, {{0x12, 0xc2}, false}};
    for (const auto& [bytes, forced] : minimums) {
        smc.addKey("F1Mn", "fpe2", bytes);
        EXPECT_EQ(fc.isForced(1), forced) << hexString(bytes);
        EXPECT_EQ(fc.liveFans()[1].forced, forced) << hexString(bytes);
    }
}

// A fan that cannot be forced at all (odd-cases fan 2: neither a mode key nor a minimum)
// does not keep `auto` from handing back the others.
TEST(FanWrites, RestoreAllSkipsAFanThatCannotBeForced) {
    Emulator emu(Emulator::shippedProfile("odd-cases.prof"));
    TempRecord tmp;
    FanController fc(tmp.options());
    fc.setFanRPM(0, 3000);
    fc.setFanRPM(1, 3000);
    EXPECT_EQ(errorText([&] { fc.setFanRPM(2, 3000); }), "key F2Mn 不存在");
    EXPECT_EQ(errorText([&] { fc.restoreAllAuto(); }), "no error");
    EXPECT_EQ(emu.value("F0Md"), Bytes{0x00});
    EXPECT_EQ(emu.value("F1Md"), Bytes{0x00});
    EXPECT_EQ(fc.restoreEveryFan().skipped, std::vector<int>{2});
}
