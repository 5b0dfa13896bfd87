// orvtool on the driver model, as root and as nobody: reading the machine on each driver where
// its kernel puts it, forcing by a raised minimum and handing back on the mainline driver
// (machines without mode keys), forcing through the mode key and the float target on the
// patched one, and never an emulator socket another user planted.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "DriverMachine.h"

namespace drivertest {
namespace {

struct Fan {
    std::string name;
    int min, max;
};

struct Model {
    const char* profile;
    const char* driver;
    std::vector<Fan> fans;
    int force;  // a speed fan 0 can be forced to
};

void PrintTo(const Model& model, std::ostream* os) {
    *os << model.profile << " on " << model.driver;
}

// fpe2 bytes of a whole rpm, as hex: 16-bit big-endian, rpm × 4.
std::string fpe2(int rpm) {
    const unsigned raw = static_cast<unsigned>(rpm) * 4;
    return hexString({static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)});
}

// "flt " bytes of a whole rpm, as hex: a little-endian float.
std::string flt(int rpm) {
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(rpm));
    return hexString({static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                      static_cast<std::uint8_t>(bits >> 16),
                      static_cast<std::uint8_t>(bits >> 24)});
}

std::string modelName(const testing::TestParamInfo<Model>& info) {
    std::string name = std::string(info.param.profile) + "_" + info.param.driver;
    for (char& c : name)
        if (c == '-' || c == '.') c = '_';
    return name;
}

// A write refused for want of privilege, not as one the driver cannot make at all.
bool refusedForPrivilege(const std::string& text) {
    return text.find(protocol::kWriteRejectedText) != std::string::npos &&
           text.find(protocol::kWriteUnsupportedText) == std::string::npos;
}

const Model kOlder{
    "older-2fan.prof", "mainline", {{"Left side", 2000, 6000}, {"Right side", 2000, 6200}}, 3000};
const Model kSingle{"single-fan.prof", "mainline", {{"Exhaust", 1200, 2700}}, 2100};
const Model kRecent{"recent-2fan.prof", "t2", {{"Fan 0", 1200, 5700}, {"Fan 1", 1300, 6200}}, 3000};

class DriverRead : public DriverTest, public testing::WithParamInterface<Model> {};

TEST_P(DriverRead, InfoRpmAndWatchShowTheMachineToRootAndNobody) {
    const Model& model = GetParam();
    ASSERT_TRUE(mount(model.profile, model.driver));
    const bool modeKeys = std::string(model.driver) == "t2";
    // Handing back fans nobody forced succeeds and leaves the boot's record of minimums.
    const Output back = machine->tool({"auto"});
    EXPECT_EQ(back.status, 0) << back.text;
    ASSERT_FALSE(machine->ns().read("/run/orvane/fan-minimums").empty());
    for (uid_t uid : {uid_t(0), kNobody}) {
        SCOPED_TRACE(uid == 0 ? "root" : "nobody");
        const Output info = machine->tool({"info"}, uid);
        EXPECT_EQ(info.status, 0) << info.text;
        EXPECT_NE(info.text.find(texts::kInfoFanCount + std::to_string(model.fans.size()) + "\n"),
                  std::string::npos)
            << info.text;
        std::string rpm, watchHeader = texts::kWatchTime;
        for (std::size_t i = 0; i < model.fans.size(); ++i) {
            const Fan& fan = model.fans[i];
            const std::string range = std::to_string(fan.min) + " / " + std::to_string(fan.max);
            EXPECT_NE(info.text.find(texts::kInfoFanHeader + std::to_string(i) + ": " + fan.name),
                      std::string::npos)
                << info.text;
            EXPECT_NE(info.text.find(texts::kInfoMinMax + range + "\n"), std::string::npos)
                << info.text;
            rpm += std::to_string(fan.min) + "\n";  // idle, the clock frozen
            char column[64];
            std::snprintf(column, sizeof column, texts::kWatchFanFormat, static_cast<int>(i),
                          (std::to_string(fan.min) + "-" + std::to_string(fan.max)).c_str());
            watchHeader += column;
        }
        EXPECT_EQ(info.text.find(texts::kInfoCPUAbsent), std::string::npos) << info.text;
        // The last line names the driver's directory.
        const std::string backend = backendLine(model.driver);
        ASSERT_GE(info.text.size(), backend.size());
        EXPECT_EQ(info.text.substr(info.text.size() - backend.size()), backend) << info.text;
        // Root reads every key's type through the index, nobody from the list root left:
        // the mode keys decide the path, and the record root wrote fits the minimums.
        EXPECT_NE(info.text.find(modeKeys ? texts::kInfoMdNewPath : texts::kInfoMdAbsent),
                  std::string::npos)
            << info.text;
        EXPECT_EQ(info.text.find("记录无效"), std::string::npos) << info.text;

        const Output speeds = machine->tool({"rpm"}, uid);
        EXPECT_EQ(speeds.status, 0);
        EXPECT_EQ(speeds.text, rpm);

        const Output watch = machine->tool({"watch", "1"}, uid);
        EXPECT_EQ(watch.status, 0) << watch.text;
        EXPECT_EQ(watch.text.rfind(watchHeader + texts::kWatchTemps + "\n", 0), 0u) << watch.text;
        std::string row;
        for (const Fan& fan : model.fans) {
            char column[32];
            std::snprintf(column, sizeof column, texts::kWatchRPMFormat,
                          static_cast<long long>(fan.min));
            row += column;
        }
        EXPECT_NE(watch.text.find("  0.0" + row + "  | "), std::string::npos) << watch.text;
        EXPECT_NE(watch.text.find("  1.0" + row + "  | "), std::string::npos) << watch.text;
    }
}

// The sensors: root walks the driver's key index and finds every type; a user walks the
// sensors the driver labels ("sp78" only) and reads the values it shows, in quarter degrees.
TEST_P(DriverRead, SensorsThroughTheIndexForRootAndTheLabelsForNobody) {
    const Model& model = GetParam();
    ASSERT_TRUE(mount(model.profile, model.driver));
    struct Expected {
        std::vector<std::string> root, nobody;
        int rootLeftOut, nobodyLeftOut;
    };
    const std::string profile = model.profile;
    const Expected expected =
        profile == "older-2fan.prof"
            ? Expected{{"TA0P", "TB0T", "TC0D", "TC0H", "TC1C", "TG0P", "TM0P", "TN0P"},
                       {"TA0P", "TB0T", "TC0D", "TC0H", "TG0P", "TN0P"},
                       1,
                       1}
        : profile == "single-fan.prof"
            ? Expected{{"TA0P", "TCAD", "TM0P"}, {"TA0P", "TCAD", "TM0P"}, 0, 0}
            : Expected{{"TA0P", "TB0T", "TC0D", "TC0P", "TC1C", "TCGC", "TC2C", "TCXC", "TG0D",
                        "TG0P", "TM0P", "TPCD", "TW0P", "Ts0P"},
                       {"TA0P", "TB0T", "TC0P", "TC1C", "TC2C", "TCXC", "TG0P", "Ts0P"},
                       4,
                       2};
    std::map<std::string, double> rootValues;
    for (uid_t uid : {uid_t(0), kNobody}) {
        SCOPED_TRACE(uid == 0 ? "root" : "nobody");
        const Output text = machine->tool({"sensors"}, uid);
        EXPECT_EQ(text.status, 0) << text.text;
        const Output out = machine->tool({"sensors", "--json"}, uid);
        ASSERT_EQ(out.status, 0) << out.text;
        const nlohmann::json j = nlohmann::json::parse(out.text);
        EXPECT_EQ(j["backend"]["kind"], "driver");
        std::vector<std::string> keys;
        for (const auto& [key, sensor] : j["temperatures"].items()) {
            keys.push_back(key);
            const double value = sensor["value"].get<double>();
            // Every line of the text shows the same key.
            EXPECT_NE(text.text.find(key + "  "), std::string::npos) << key;
            if (uid == 0)
                rootValues[key] = value;
            else
                EXPECT_NEAR(value, rootValues[key], 0.25) << key;
        }
        std::vector<std::string> want = uid == 0 ? expected.root : expected.nobody;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(keys, want);
        EXPECT_EQ(j["left_out"], uid == 0 ? expected.rootLeftOut : expected.nobodyLeftOut);
    }
}

INSTANTIATE_TEST_SUITE_P(FittingProfiles, DriverRead, testing::Values(kOlder, kSingle, kRecent),
                         modelName);

// The mainline driver's machines have no mode keys: a fan is forced by a raised minimum,
// written through fan{N}_min, and handed back with the factory bytes from the boot's record.
class DriverForce : public DriverTest, public testing::WithParamInterface<Model> {};

TEST_P(DriverForce, RaisedMinimumForcesAndAutoInANewProcessWritesTheFactoryBytesBack) {
    const Model& model = GetParam();
    ASSERT_TRUE(mount(model.profile, model.driver));
    const std::string rpm = std::to_string(model.force);
    std::vector<std::string> factory;
    for (std::size_t i = 0; i < model.fans.size(); ++i)
        factory.push_back(machine->bytes("F" + std::to_string(i) + "Mn"));
    ASSERT_FALSE(factory[0].empty());

    const Output refused = machine->tool({"set", "0", rpm}, kNobody);
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refusedForPrivilege(refused.text)) << refused.text;
    EXPECT_EQ(machine->bytes("F0Mn"), factory[0]);

    const Output set = machine->tool({"set", "0", rpm});
    EXPECT_EQ(set.status, 0) << set.text;
    EXPECT_EQ(machine->bytes("F0Mn"), fpe2(model.force));
    EXPECT_EQ(machine->bytes("FS! "), "0000");  // no manual bit on this path
    // Above the maximum the tool writes the maximum.
    EXPECT_EQ(machine->tool({"set", "0", "99999"}).status, 0);
    EXPECT_EQ(machine->bytes("F0Mn"), machine->bytes("F0Mx"));
    // The boot's record holds the factory minimums, read before the first write.
    const std::string record = machine->ns().read("/run/orvane/fan-minimums");
    for (std::size_t i = 0; i < factory.size(); ++i)
        EXPECT_NE(record.find("F" + std::to_string(i) + "Mn " + factory[i] + "\n"),
                  std::string::npos)
            << record;

    const Output back = machine->tool({"auto"});
    EXPECT_EQ(back.status, 0) << back.text;
    EXPECT_NE(
        back.text.find(texts::kAutoDone + std::to_string(model.fans.size()) + texts::kAutoDoneTail),
        std::string::npos)
        << back.text;
    for (std::size_t i = 0; i < factory.size(); ++i)
        EXPECT_EQ(machine->bytes("F" + std::to_string(i) + "Mn"), factory[i]) << "fan " << i;
}

// A daemon killed outright leaves its fan forced; `orvtool auto`, a process that never saw
// the factory minimum, restores it from the record the daemon's start left in /run.
TEST_P(DriverForce, AutoAfterAKilledDaemonRestoresFromTheDaemonsRecord) {
    const Model& model = GetParam();
    ASSERT_TRUE(mount(model.profile, model.driver));
    const std::string factory = machine->bytes("F0Mn");
    const std::string rpm = std::to_string(model.force);
    ASSERT_TRUE(machine->startDaemon()) << machine->ns().read("/tmp/daemon.out");
    EXPECT_EQ(machine->request("set 0 " + rpm), setReply(0, model.force));
    EXPECT_EQ(machine->bytes("F0Mn"), fpe2(model.force));
    machine->daemon().kill();
    EXPECT_EQ(machine->daemon().finish(), -1);
    EXPECT_EQ(machine->bytes("F0Mn"), fpe2(model.force));

    EXPECT_NE(machine->ns().read("/run/orvane/fan-minimums").find("F0Mn " + factory + "\n"),
              std::string::npos);
    const Output back = machine->tool({"auto"});
    EXPECT_EQ(back.status, 0) << back.text;
    EXPECT_EQ(machine->bytes("F0Mn"), factory);
}

INSTANTIATE_TEST_SUITE_P(WithoutModeKeys, DriverForce, testing::Values(kOlder, kSingle), modelName);

// The hwmon layout is the mainline driver's. In it the driver creates its hwmon device anew on each
// wake (hwmonN becomes hwmon(N+1)) and the SMC has every fan back: a daemon still on its old open
// gets an error for a set, never a crash, while a new open (a new program) finds the files where
// they are now.
class DriverWake : public DriverTest, public testing::WithParamInterface<Model> {};

TEST_P(DriverWake, ANewOpenFindsTheHwmonFilesMovedOnWakeAndTheOldOneFailsCleanly) {
    const Model& model = GetParam();
    ASSERT_TRUE(mount(model.profile, model.driver, "hwmon"));
    const std::string factory = machine->bytes("F0Mn");
    const std::string rpm = std::to_string(model.force);
    auto forced = [&] { return machine->bytes("F0Mn") != factory; };
    const std::string hwmon = DriverTree::directoryFor(model.driver) + "/hwmon/hwmon";
    auto present = [&](int n) {
        return ::access(machine->ns().path(hwmon + std::to_string(n) + "/fan1_input").c_str(),
                        F_OK) == 0;
    };
    ASSERT_TRUE(present(0));

    ASSERT_TRUE(machine->startDaemon()) << machine->ns().read("/tmp/daemon.out");
    EXPECT_EQ(machine->request("set 0 " + rpm), setReply(0, model.force));
    EXPECT_TRUE(forced());

    ASSERT_EQ(machine->tree().control("sleep 60").rfind("OK ", 0), 0u);
    EXPECT_FALSE(forced());
    EXPECT_FALSE(present(0));
    EXPECT_TRUE(present(1));
    const std::string stale = machine->request("set 0 " + rpm);
    EXPECT_EQ(stale.rfind("ERR", 0), 0u) << stale;
    EXPECT_TRUE(machine->daemon().running());
    EXPECT_FALSE(forced());
    machine->daemon().kill();
    machine->daemon().finish();

    const Output set = machine->tool({"set", "0", rpm});
    EXPECT_EQ(set.status, 0) << set.text;
    EXPECT_TRUE(forced());
    const Output back = machine->tool({"auto"});
    EXPECT_EQ(back.status, 0) << back.text;
    EXPECT_FALSE(forced());
}

INSTANTIATE_TEST_SUITE_P(HwmonLayout, DriverWake, testing::Values(kOlder, kSingle), modelName);

// The patched driver writes a fan's mode key through fanN_manual and its float target
// through fanN_output: the tool and the daemon force and hand back as on a Mac.
TEST_F(DriverTest, PatchedDriverForcesThroughTheModeKeyAndTheFloatTarget) {
    ASSERT_TRUE(mount(kRecent.profile, kRecent.driver));
    const std::string minimum0 = machine->bytes("F0Mn");

    const Output refused = machine->tool({"set", "0", "3000"}, kNobody);
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refusedForPrivilege(refused.text)) << refused.text;
    EXPECT_EQ(machine->bytes("F0Md"), "00");

    const Output set = machine->tool({"set", "0", "3000"});
    EXPECT_EQ(set.status, 0) << set.text;
    EXPECT_EQ(machine->bytes("F0Md"), "01");
    EXPECT_EQ(machine->bytes("F0Tg"), flt(3000));
    EXPECT_EQ(machine->bytes("F0Mn"), minimum0);  // the mode-key path leaves the minimum
    EXPECT_EQ(machine->tool({"set", "1", "99999"}).status, 0);
    EXPECT_EQ(machine->bytes("F1Tg"), flt(6200));
    EXPECT_EQ(machine->bytes("F1Md"), "01");
    // Users read the forcing through the manual files (the types root listed).
    const Output info = machine->tool({"info"}, kNobody);
    EXPECT_NE(info.text.find(std::string("F0") + texts::kInfoMdPresent + "1 "), std::string::npos)
        << info.text;

    const Output back = machine->tool({"auto"});
    EXPECT_EQ(back.status, 0) << back.text;
    EXPECT_NE(back.text.find(texts::kAutoDone + std::string("2") + texts::kAutoDoneTail),
              std::string::npos)
        << back.text;
    EXPECT_EQ(back.text.find(texts::kAutoStillForced), std::string::npos) << back.text;
    EXPECT_EQ(machine->bytes("F0Md"), "00");
    EXPECT_EQ(machine->bytes("F1Md"), "00");

    ASSERT_TRUE(machine->startDaemon()) << machine->ns().read("/tmp/daemon.out");
    EXPECT_EQ(machine->request("set 0 2500"), setReply(0, 2500));
    EXPECT_EQ(machine->bytes("F0Md"), "01");
    EXPECT_EQ(machine->bytes("F0Tg"), flt(2500));
    EXPECT_EQ(machine->request("auto 0"), autoReply(0));
    EXPECT_EQ(machine->bytes("F0Md"), "00");
    EXPECT_EQ(machine->request("set 1 4000"), setReply(1, 4000));
    EXPECT_EQ(machine->bytes("F1Tg"), flt(4000));
    EXPECT_EQ(machine->request("quit"), protocol::kReplyBye);
    EXPECT_EQ(machine->daemon().finish(), 0);
    EXPECT_EQ(machine->bytes("F0Md"), "00");
    EXPECT_EQ(machine->bytes("F1Md"), "00");
}

// The driver writes whole rpm: a factory minimum of 2000.25 rpm comes back as 2000, which is
// the original at the driver's resolution. Handing back says so truthfully, and the fan
// counts as automatic again (no daemon mark of forced fans is left).
TEST_F(DriverTest, FractionalFactoryMinimumIsHandedBackAtWholeRpm) {
    ASSERT_TRUE(mount(kOlder.profile, kOlder.driver));
    ASSERT_EQ(machine->tree().control("set F0Mn 1f41").rfind("OK", 0), 0u);  // 2000.25 rpm

    EXPECT_EQ(machine->tool({"set", "0", "3000"}).status, 0);
    EXPECT_EQ(machine->bytes("F0Mn"), fpe2(3000));
    const Output back = machine->tool({"auto"});
    EXPECT_EQ(back.status, 0) << back.text;
    EXPECT_EQ(machine->bytes("F0Mn"), "1f40");
    // The record keeps the factory bytes, and info shows them.
    EXPECT_NE(machine->ns().read("/run/orvane/fan-minimums").find("F0Mn 1f41\n"),
              std::string::npos);
    const Output info = machine->tool({"info"});
    EXPECT_NE(info.text.find("0x1f 0x41"), std::string::npos) << info.text;

    ASSERT_TRUE(machine->startDaemon()) << machine->ns().read("/tmp/daemon.out");
    EXPECT_EQ(machine->request("set 0 2600"), setReply(0, 2600));
    EXPECT_EQ(::access(machine->ns().path("/run/orvane/daemon-forced").c_str(), F_OK), 0);
    EXPECT_EQ(machine->request("auto 0"), autoReply(0));
    EXPECT_EQ(machine->bytes("F0Mn"), "1f40");
    EXPECT_NE(::access(machine->ns().path("/run/orvane/daemon-forced").c_str(), F_OK), 0);
    EXPECT_EQ(machine->request("quit"), protocol::kReplyBye);
}

// A listener at an emulator socket's path, counting the connections it gets. It runs inside
// the namespace as `uid`: another user planting it, or root serving a socket of its own. It
// says on its standard output when it listens and each connection it accepts (and closes).
class PlantedListener {
  public:
    PlantedListener(PrivateTmp& ns, const std::string& path, uid_t uid = kNobody) {
        ProcessOptions options;
        options.uid = uid;
        options.namespaceFd = ns.namespaceFd();
        listener_ = Process::call(
            [path] {
                sockaddr_un addr{};
                addr.sun_family = AF_UNIX;
                std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
                const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
                    ::listen(fd, 8) != 0)
                    return 1;
                (void)!::write(STDOUT_FILENO, "listening\n", 10);
                for (;;) {
                    const int peer = ::accept(fd, nullptr, nullptr);
                    if (peer < 0) continue;
                    ::close(peer);
                    (void)!::write(STDOUT_FILENO, "accepted\n", 9);
                }
            },
            options);
        ok_ = listener_.outLine() == "listening";
    }
    bool ok() const { return ok_; }
    // Stops listening; how many connections it accepted.
    int connections() {
        listener_.kill();
        int count = 0;
        while (listener_.outLine() == "accepted")
            ++count;
        return count;
    }

  private:
    Process listener_;
    bool ok_ = false;
};

// Root never takes a socket another user planted for the SMC: not by default (the driver is
// used), not when SMCEMU_SOCKET names it, not through a link root made to it, and not a
// socket of root's own reached through a directory another user linked (into a directory of
// that user's or of root's). The user who invoked root through sudo may serve it.
TEST_F(DriverTest, RootNeverTalksToAnEmulatorSocketAnotherUserPlanted) {
    ASSERT_TRUE(mount(kOlder.profile, kOlder.driver));
    PlantedListener planted(machine->ns(), "/tmp/smcemu.sock");
    ASSERT_TRUE(planted.ok());
    ASSERT_EQ(machine->ns().run({"/bin/ln", "-s", "/tmp/smcemu.sock", "/tmp/linked.sock"}), 0);
    // The links live in the other user's own directory, where the kernel lets root follow
    // them whatever its link protection in /tmp.
    ASSERT_EQ(machine->ns().run({"/bin/mkdir", "/tmp/rooted"}), 0);
    ASSERT_EQ(
        machine->ns().run({"/bin/sh", "-c",
                           "mkdir -p /tmp/other/own && ln -s /tmp/other/own /tmp/other/to-own "
                           "&& ln -s /tmp/rooted /tmp/other/to-root"},
                          "", kNobody),
        0);
    PlantedListener inOwn(machine->ns(), "/tmp/other/own/smcemu.sock", 0);
    PlantedListener inRoots(machine->ns(), "/tmp/rooted/smcemu.sock", 0);
    ASSERT_TRUE(inOwn.ok());
    ASSERT_TRUE(inRoots.ok());

    const Output byDefault = machine->tool({"info"});
    EXPECT_EQ(byDefault.status, 0) << byDefault.text;
    EXPECT_NE(byDefault.text.find(backendLine(kOlder.driver)), std::string::npos);

    for (const char* socket : {"/tmp/smcemu.sock", "/tmp/linked.sock",
                               "/tmp/other/to-own/smcemu.sock", "/tmp/other/to-root/smcemu.sock"}) {
        SCOPED_TRACE(socket);
        const Environment env{{paths::kEmulatorSocketEnv, socket}};
        const Output info = machine->tool({"info"}, 0, env);
        EXPECT_EQ(info.status, 1) << info.text;
        EXPECT_NE(info.text.find("未找到 AppleSMC 服务"), std::string::npos) << info.text;
        const Output daemon = machine->tool({"serve"}, 0, env);
        EXPECT_NE(daemon.status, 0) << daemon.text;
        EXPECT_NE(daemon.text.find("未找到 AppleSMC 服务"), std::string::npos) << daemon.text;
    }
    EXPECT_EQ(inRoots.connections(), 0);
    EXPECT_EQ(inOwn.connections(), 0);
    EXPECT_EQ(planted.connections(), 0);

    // Invoked through sudo by the user who serves it, root may use that user's socket.
    PlantedListener own(machine->ns(), "/tmp/own.sock");
    ASSERT_TRUE(own.ok());
    const Output sudo = machine->tool({"rpm"}, 0,
                                      {{paths::kEmulatorSocketEnv, "/tmp/own.sock"},
                                       {paths::kSudoUidEnv, std::to_string(kNobody)}});
    EXPECT_NE(sudo.status, 0);  // the listener answers no calls
    EXPECT_GE(own.connections(), 1);
}

// The control daemon forces and hands back through the driver's minimum files, and its
// quit hands every fan back.
TEST_F(DriverTest, DaemonSetAutoAndQuitGoThroughTheMinimums) {
    ASSERT_TRUE(mount(kOlder.profile, kOlder.driver));
    const std::string factory0 = machine->bytes("F0Mn"), factory1 = machine->bytes("F1Mn");
    ASSERT_TRUE(machine->startDaemon()) << machine->ns().read("/tmp/daemon.out");

    EXPECT_EQ(machine->request("set 0 3000"), setReply(0, 3000));
    EXPECT_EQ(machine->bytes("F0Mn"), fpe2(3000));
    EXPECT_EQ(machine->request("auto 0"), autoReply(0));
    EXPECT_EQ(machine->bytes("F0Mn"), factory0);

    EXPECT_EQ(machine->request("set 1 4000"), setReply(1, 4000));
    EXPECT_EQ(machine->request("set 0 2500"), setReply(0, 2500));
    EXPECT_EQ(machine->bytes("F1Mn"), fpe2(4000));
    EXPECT_EQ(machine->bytes("F0Mn"), fpe2(2500));
    EXPECT_EQ(machine->request("quit"), protocol::kReplyBye);
    EXPECT_EQ(machine->daemon().finish(), 0);
    EXPECT_EQ(machine->bytes("F0Mn"), factory0);
    EXPECT_EQ(machine->bytes("F1Mn"), factory1);
}

}  // namespace
}  // namespace drivertest
