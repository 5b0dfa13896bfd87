// The driver backend against a fake attribute tree in a temporary directory. Plain files
// stand in for the driver's: after each access the backend reports, the tree rewrites the
// index files for the index just selected, as the driver shows the selected key, and a
// test may play another process that selects in between.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "applesmc/AppleSMCDriver.h"

namespace fs = std::filesystem;

namespace {

using Block = std::array<std::uint8_t, 80>;
using Bytes = std::vector<std::uint8_t>;

struct Key {
    std::string name;
    std::string type;
    Bytes bytes;
};

// Keys of an older two-fan laptop, sorted as the SMC keeps them.
std::vector<Key> profileKeys() {
    std::vector<Key> keys = {
        {"#KEY", "ui32", {0, 0, 0, 22}},  // the number of keys, as key_count shows it
        {"ACID", "ch8*", {1, 2, 3, 4, 5, 6, 7, 8}},
        {"F0Ac", "fpe2", {0x26, 0xC0}},
        {"F0ID", "{fds", {0, 0, 0, 0, 'L', 'e', 'f', 't'}},
        {"F0Mn", "fpe2", {0x1F, 0x40}},
        {"F0Mx", "fpe2", {0x5D, 0xC0}},
        {"F0Tg", "fpe2", {0x1F, 0x40}},
        {"F1Ac", "fpe2", {0x28, 0xA0}},
        {"F1Mn", "fpe2", {0x20, 0xD0}},
        {"F1Mx", "fpe2", {0x60, 0xE0}},
        {"F1Tg", "flt ", {0x00, 0x00, 0xFA, 0x44}},
        {"FNum", "ui8 ", {2}},
        {"FS! ", "ui16", {0, 1}},
        {"MSAc", "ui16", {0, 0}},
        {"TB0T", "sp78", {0x20, 0x00}},
        {"TC0D", "sp78", {0x31, 0x80}},
        {"TC0P", "sp78", {0x30, 0x80}},
        {"TG0P", "sp78", {0x29, 0x80}},
        {"TM0P", "sp78", {0x2C, 0x00}},
        {"Th0H", "sp78", {0x33, 0x00}},
        {"Ts0P", "sp78", {0x1E, 0x00}},
        {"zETM", "flag", {0}},
    };
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end(),
                               [](const Key& a, const Key& b) { return a.name < b.name; }));
    return keys;
}

class FakeTree {
  public:
    FakeTree() {
        char pattern[] = "/tmp/applesmc-test-XXXXXX";
        EXPECT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        keys = profileKeys();
        put("key_count", std::to_string(keys.size()) + "\n");
        select(0);
        for (const char* fan : {"fan1_min", "fan1_output", "fan2_min", "fan2_output"})
            put(fan, "");
    }
    ~FakeTree() {
        fs::remove_all(dir);
        fs::remove_all(runDir());
    }

    void put(const std::string& file, const std::string& text) {
        fs::create_directories(fs::path(dir + "/" + file).parent_path());
        std::ofstream(dir + "/" + file, std::ios::binary | std::ios::trunc) << text;
    }
    std::string get(const std::string& file) {
        std::ifstream in(dir + "/" + file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // What the driver shows after index i is selected.
    void select(std::size_t i) {
        put("key_at_index", std::to_string(i) + "\n");
        put("key_at_index_name", keys[i].name + "\n");
        put("key_at_index_type", keys[i].type + "\n");
        put("key_at_index_data_length", std::to_string(keys[i].bytes.size()) + "\n");
        put("key_at_index_data", std::string(keys[i].bytes.begin(), keys[i].bytes.end()));
    }
    std::size_t indexOf(const std::string& name) {
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (keys[i].name == name) return i;
        ADD_FAILURE() << name;
        return 0;
    }

    // Hooked into the backend: a written selection takes effect, then the other process
    // (if any) acts.
    void accessed(const std::string& file, bool wrote) {
        log.emplace_back(file, wrote);
        if (wrote && file == "key_at_index") {
            const std::string text = get(file);
            select(std::stoul(text.substr(0, text.find('\n'))));
        }
        if (other) other(file, wrote);
    }
    std::unique_ptr<AppleSMCDriver> driver(bool privileged = true, bool patched = false) {
        auto d = std::make_unique<AppleSMCDriver>(AppleSMCDriverLocation(dir, patched), privileged,
                                                  lockPath(), typesPath());
        d->setAccessHook([this](const std::string& f, bool w) { accessed(f, w); });
        return d;
    }
    // Root's shared files, in a directory root makes when it first needs it.
    std::string runDir() const { return dir + ".run"; }
    std::string lockPath() const { return runDir() + "/index.lock"; }
    std::string typesPath() const { return runDir() + "/keys"; }
    std::vector<std::string> written() {
        std::vector<std::string> files;
        for (const auto& [file, wrote] : log)
            if (wrote) files.push_back(file);
        return files;
    }

    std::string dir;
    std::vector<Key> keys;
    std::vector<std::pair<std::string, bool>> log;
    std::function<void(const std::string&, bool)> other;
};

Block request(const std::string& key, std::uint8_t command, std::uint32_t size = 0,
              const Bytes& bytes = {}) {
    Block b{};
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<std::uint8_t>(key[3 - i]);  // the code, little-endian
    b[28] = static_cast<std::uint8_t>(size);
    b[42] = command;
    std::copy(bytes.begin(), bytes.end(), b.begin() + 48);
    return b;
}

std::uint32_t le32(const Block& b, std::size_t offset) {
    return std::uint32_t(b[offset]) | std::uint32_t(b[offset + 1]) << 8 |
           std::uint32_t(b[offset + 2]) << 16 | std::uint32_t(b[offset + 3]) << 24;
}

std::string typeOf(const Block& b) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<char>(le32(b, 32) >> shift));
    return s;
}

struct Answer {
    kern_return_t kr;
    Block out;
};

Answer call(AppleSMCDriver& d, const Block& in) {
    Answer a{0, {}};
    a.out.fill(0xEE);
    a.kr = d.call(kSMCStructMethodSelector, in, a.out);
    return a;
}

Bytes readKey(AppleSMCDriver& d, const std::string& key) {
    Answer info = call(d, request(key, 9));
    EXPECT_EQ(info.kr, kIOReturnSuccess) << key;
    Answer read = call(d, request(key, 5, le32(info.out, 28)));
    EXPECT_EQ(read.kr, kIOReturnSuccess) << key;
    return Bytes(read.out.begin() + 48, read.out.begin() + 48 + le32(info.out, 28));
}

TEST(AppleSMCDriver, BinarySearchFindsEveryKeyAndAnswersMissingOnesAsTheSMCDoes) {
    FakeTree tree;
    auto owner = tree.driver();
    AppleSMCDriver& d = *owner;
    for (const Key& key : tree.keys) {
        SCOPED_TRACE(key.name);
        tree.log.clear();
        Answer info = call(d, request(key.name, 9));
        EXPECT_EQ(info.kr, kIOReturnSuccess);
        EXPECT_EQ(le32(info.out, 28), key.bytes.size());
        EXPECT_EQ(typeOf(info.out), key.type);
        EXPECT_EQ(info.out[40], 0);
        // Every probe selects once: a search, not a scan (22 keys: at most 5 probes, plus
        // the selection that reads the key's type and size).
        const auto selections = tree.written().size();
        EXPECT_LE(selections, 6u);
        EXPECT_EQ(readKey(d, key.name), key.bytes);
    }
    for (const char* absent : {"!!!!", "F0Md", "F2Ac", "TC0H", "zzzz"}) {
        SCOPED_TRACE(absent);
        Answer info = call(d, request(absent, 9));
        EXPECT_EQ(info.kr, kIOReturnSuccess);
        EXPECT_EQ(le32(info.out, 28), 0u);
        EXPECT_EQ(info.out[40], 0x84);
        EXPECT_EQ(call(d, request(absent, 5)).out[40], 0x84);
    }
    // Key info is cached: asking again touches no file.
    tree.log.clear();
    EXPECT_EQ(typeOf(call(d, request("TC0P", 9)).out), "sp78");
    EXPECT_EQ(call(d, request("F0Md", 9)).out[40], 0x84);
    // Only the struct method is served, as by the SMC's user client.
    Block out{};
    EXPECT_EQ(d.call(kSMCStructMethodSelector + 1, request("TC0P", 9), out), kIOReturnUnsupported);
    EXPECT_TRUE(tree.log.empty());
}

TEST(AppleSMCDriver, AnotherProcessMovingTheSelectionNeverYieldsAnotherKeysBytes) {
    FakeTree tree;
    auto owner = tree.driver();
    AppleSMCDriver& d = *owner;
    // F0Mn and F0Tg have the same size and type: only the name tells their bytes apart.
    tree.keys[tree.indexOf("F0Tg")].bytes = {0x2E, 0xE0};
    const std::size_t victim = tree.indexOf("F0Tg");
    int moves = 0;
    // Right after each selection of ours, another process selects the key next to it.
    tree.other = [&](const std::string& file, bool wrote) {
        if (!(wrote && file == "key_at_index") || moves >= 5) return;
        ++moves;
        const std::string text = tree.get("key_at_index");
        tree.select((std::stoul(text) + 1) % tree.keys.size());
    };
    EXPECT_EQ(readKey(d, "F0Mn"), (Bytes{0x1F, 0x40}));
    EXPECT_EQ(moves, 5);
    moves = 0;
    EXPECT_EQ(readKey(d, "F0Tg"), (Bytes{0x2E, 0xE0}));
    EXPECT_EQ(readKey(d, "TC0P"), (Bytes{0x30, 0x80}));

    // Moved after reading a name or the data, before the checks: in the probes of a search,
    // in reading the key's type and size, and in reading its bytes.
    int reads = 0;
    tree.other = [&](const std::string& file, bool wrote) {
        if (wrote || (file != "key_at_index_data" && file != "key_at_index_name")) return;
        if (++reads % 2 == 1 && reads < 12) tree.select(victim);
    };
    EXPECT_EQ(readKey(d, "TG0P"), (Bytes{0x29, 0x80}));
    EXPECT_GE(reads, 12);
    reads = 0;
    EXPECT_EQ(readKey(d, "F1Mx"), (Bytes{0x60, 0xE0}));

    // Moved to a key of the same size and type right after our selection, and back after the
    // name is read but before the index is: the index file alone is put back, as our read
    // of it would see, while the name still shows the other key.
    const std::size_t ours = tree.indexOf("F0Mn");
    int swaps = 0;
    tree.other = [&](const std::string& file, bool wrote) {
        if (wrote && file == "key_at_index" && swaps < 2) {
            ++swaps;
            tree.select(victim);
        } else if (!wrote && file == "key_at_index_data") {
            tree.put("key_at_index", std::to_string(ours) + "\n");
        }
    };
    EXPECT_EQ(readKey(d, "F0Mn"), (Bytes{0x1F, 0x40}));
    EXPECT_EQ(swaps, 2);

    // A selection that never holds fails the call instead of answering wrongly.
    tree.other = [&](const std::string& file, bool wrote) {
        if (wrote && file == "key_at_index") tree.select(victim);
    };
    Answer read = call(d, request("F0Mn", 5, 2));
    EXPECT_EQ(read.kr, kIOReturnBusy);
    EXPECT_NE(Bytes(read.out.begin() + 48, read.out.begin() + 50), (Bytes{0x2E, 0xE0}));
}

// Two processes reading the same keys can move the selection away and back between one's
// select and its checks, which no check can see; processes of the stand-in take turns.
TEST(AppleSMCDriver, ProcessesOfTheStandInTakeTurnsAtTheSelection) {
    FakeTree tree;
    auto owner = tree.driver();
    AppleSMCDriver& d = *owner;
    EXPECT_EQ(readKey(d, "F0Mn"), (Bytes{0x1F, 0x40}));
    const int lock = ::open(tree.lockPath().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    // Whenever it gets the lock, the other process selects F1Mx right after our selection
    // and F0Mn again right after our read of the data.
    int turns = 0;
    bool holding = false;
    tree.other = [&](const std::string& file, bool wrote) {
        if (wrote && file == "key_at_index" && ::flock(lock, LOCK_EX | LOCK_NB) == 0) {
            holding = true;
            ++turns;
            tree.select(tree.indexOf("F1Mx"));
        } else if (!wrote && file == "key_at_index_data" && holding) {
            tree.select(tree.indexOf("F0Mn"));
            ::flock(lock, LOCK_UN);
            holding = false;
        }
    };
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(readKey(d, "F0Mn"), (Bytes{0x1F, 0x40}));
    EXPECT_EQ(turns, 0);
    ::close(lock);
}

TEST(AppleSMCDriver, Fpe2SpeedsAreWrittenAsWholeRpmThroughTheFanAttributes) {
    FakeTree tree;
    auto owner = tree.driver();
    AppleSMCDriver& d = *owner;
    // 2500.75 rpm is 0x2713 in fpe2; the driver takes whole rpm.
    Answer a = call(d, request("F0Mn", 6, 2, {0x27, 0x13}));
    EXPECT_EQ(a.kr, kIOReturnSuccess);
    EXPECT_EQ(a.out[40], 0);
    EXPECT_EQ(tree.get("fan1_min"), "2500\n");
    EXPECT_EQ(call(d, request("F0Tg", 6, 2, {0xFF, 0xFF})).kr, kIOReturnSuccess);
    EXPECT_EQ(tree.get("fan1_output"), "16383\n");
    EXPECT_EQ(call(d, request("F1Mn", 6, 2, {0x0B, 0xB8})).kr, kIOReturnSuccess);
    EXPECT_EQ(tree.get("fan2_min"), "750\n");
    EXPECT_EQ(tree.get("fan1_output"), "16383\n");

    // A fan attribute the driver lacks cannot be written either.
    fs::remove(tree.dir + "/fan2_min");
    EXPECT_EQ(call(d, request("F1Mn", 6, 2, {0x0B, 0xB8})).kr, kIOReturnNotWritable);
}

TEST(AppleSMCDriver, WritesTheDriverCannotEncodeAreRefusedWithoutWriting) {
    FakeTree tree;
    tree.keys.insert(tree.keys.begin() + tree.indexOf("F0Mn"), {"F0Md", "ui8 ", {0}});
    tree.put("key_count", std::to_string(tree.keys.size()) + "\n");
    auto owner = tree.driver();
    AppleSMCDriver& d = *owner;
    // A mode key, a speed of another type, keys without a writable attribute, one missing.
    for (const char* key : {"F0Md", "F1Tg", "FS! ", "F0Ac", "TC0P", "F2Mn"}) {
        SCOPED_TRACE(key);
        tree.log.clear();
        Answer a = call(d, request(key, 6, 2, {0x1F, 0x40}));
        EXPECT_EQ(a.kr, kIOReturnNotWritable);
        for (const std::string& file : tree.written())
            EXPECT_EQ(file, "key_at_index");
    }
    // The bytes a key already holds change nothing: that write succeeds, as handing back a
    // fan whose mode key already says automatic must. Any other value is still refused.
    tree.log.clear();
    EXPECT_EQ(call(d, request("F0Md", 6, 1, {0})).kr, kIOReturnSuccess);
    EXPECT_EQ(call(d, request("F0Md", 6, 1, {1})).kr, kIOReturnNotWritable);
    for (const std::string& file : tree.written())
        EXPECT_EQ(file, "key_at_index");
    for (const char* fan : {"fan1_min", "fan1_output", "fan2_min", "fan2_output"})
        EXPECT_EQ(tree.get(fan), "") << fan;
}

// The patched driver writes a mode byte of 0 or 1 through fanN_manual and a float speed in
// whole rpm through fanN_output; what it cannot write exactly is refused without writing.
TEST(AppleSMCDriver, PatchedDriverWritesModeKeysAndFloatSpeeds) {
    FakeTree tree;
    tree.keys.insert(tree.keys.begin() + tree.indexOf("F0Mn"), {"F0Md", "ui8 ", {0}});
    tree.put("key_count", std::to_string(tree.keys.size()) + "\n");
    tree.put("fan1_manual", "");
    auto owner = tree.driver(true, true);
    AppleSMCDriver& d = *owner;
    EXPECT_EQ(call(d, request("F0Md", 6, 1, {1})).kr, kIOReturnSuccess);
    EXPECT_EQ(tree.get("fan1_manual"), "1\n");
    EXPECT_EQ(call(d, request("F0Md", 6, 1, {0})).kr, kIOReturnSuccess);
    EXPECT_EQ(tree.get("fan1_manual"), "0\n");
    // 2500.75 as a little-endian float: the driver takes 2500.
    EXPECT_EQ(call(d, request("F1Tg", 6, 4, {0x00, 0x4c, 0x1c, 0x45})).kr, kIOReturnSuccess);
    EXPECT_EQ(tree.get("fan2_output"), "2500\n");
    EXPECT_EQ(call(d, request("F0Mn", 6, 2, {0x2e, 0xe0})).kr, kIOReturnSuccess);
    EXPECT_EQ(tree.get("fan1_min"), "3000\n");

    tree.log.clear();
    for (const auto& [key, size, bytes] : std::vector<std::tuple<const char*, int, Bytes>>{
             {"F0Md", 1, {2}},                       // a mode byte the driver stores as 2 & 1
             {"F0Md", 2, {0, 1}},                    // not the key's size
             {"F1Tg", 4, {0x00, 0x00, 0xc0, 0x7f}},  // NaN
             {"F1Tg", 4, {0x00, 0x00, 0x80, 0xbf}},  // -1
             {"FS! ", 2, {0, 2}}}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(call(d, request(key, 6, static_cast<std::uint32_t>(size), bytes)).kr,
                  kIOReturnNotWritable);
    }
    for (const std::string& file : tree.written())
        EXPECT_EQ(file, "key_at_index");
    EXPECT_EQ(tree.get("fan1_manual"), "0\n");
    EXPECT_EQ(tree.get("fan2_output"), "2500\n");
}

// The layout of a pending upstream conversion: fan and temperature files in hwmon/hwmonN/,
// fanN_target for the target and pwmN_enable (1: manual) for the manual flag. Speeds are read
// and written there; no manual flag is ever written through pwmN_enable.
TEST(AppleSMCDriver, HwmonLayoutIsReadAndItsSpeedsWritten) {
    FakeTree tree;
    for (const char* old : {"fan1_min", "fan1_output", "fan2_min", "fan2_output"})
        fs::remove(tree.dir + "/" + old);
    tree.keys.insert(tree.keys.begin() + tree.indexOf("F0Mn"), {"F0Md", "ui8 ", {0}});
    tree.put("key_count", std::to_string(tree.keys.size()) + "\n");
    const std::string hw = "hwmon/hwmon4/";
    tree.put(hw + "fan1_input", "2480\n");
    tree.put(hw + "fan1_min", "2000\n");
    tree.put(hw + "fan1_target", "");
    tree.put(hw + "pwm1_enable", "1\n");
    tree.put(hw + "fan2_input", "2600\n");
    tree.put(hw + "pwm2_enable", "2\n");
    tree.put(hw + "temp1_label", "TC0P\n");
    tree.put(hw + "temp1_input", "48500\n");

    auto user = tree.driver(false);
    EXPECT_EQ(readKey(*user, "FNum"), Bytes{2});
    EXPECT_EQ(readKey(*user, "F0Ac"), (Bytes{0x26, 0xC0}));
    EXPECT_EQ(readKey(*user, "FS! "), (Bytes{0, 1}));
    EXPECT_EQ(readKey(*user, "TC0P"), (Bytes{0x30, 0x80}));

    auto root = tree.driver(true, true);
    EXPECT_EQ(call(*root, request("F0Tg", 6, 2, {0x2e, 0xe0})).kr, kIOReturnSuccess);
    EXPECT_EQ(tree.get(hw + "fan1_target"), "3000\n");
    EXPECT_EQ(call(*root, request("F0Mn", 6, 2, {0x27, 0x10})).kr, kIOReturnSuccess);
    EXPECT_EQ(tree.get(hw + "fan1_min"), "2500\n");
    EXPECT_EQ(call(*root, request("F0Md", 6, 1, {1})).kr, kIOReturnNotWritable);
    EXPECT_EQ(tree.get(hw + "pwm1_enable"), "1\n");
}

// The key index: root walks the driver's (key_count, then each selected name); a process
// that cannot select walks the sensors the driver labels, the keys it can read.
TEST(AppleSMCDriver, TheKeyIndexIsTheDriversForRootAndTheLabelledSensorsForOthers) {
    FakeTree tree;
    tree.put("temp1_label", "TC0P\n");
    tree.put("temp1_input", "48500\n");
    tree.put("temp2_label", "TB0T\n");
    tree.put("temp2_input", "32000\n");
    auto at = [](AppleSMCDriver& d, std::uint32_t index, std::string& name) {
        Block in = request(std::string(4, '\0'), 8);
        for (int i = 0; i < 4; ++i)
            in[44 + i] = static_cast<std::uint8_t>(index >> (8 * i));
        Answer a = call(d, in);
        EXPECT_EQ(a.kr, kIOReturnSuccess);
        name.clear();
        for (int shift = 24; shift >= 0; shift -= 8)
            name.push_back(static_cast<char>(le32(a.out, 0) >> shift));
        return a.out[40];
    };
    for (const bool root : {true, false}) {
        SCOPED_TRACE(root ? "root" : "nobody");
        auto owner = tree.driver(root);
        AppleSMCDriver& d = *owner;
        std::vector<std::string> expected;
        if (root) {
            for (const Key& key : tree.keys)
                expected.push_back(key.name);
        } else {
            expected = {"TB0T", "TC0P"};
        }
        Answer info = call(d, request("#KEY", 9));
        EXPECT_EQ(le32(info.out, 28), 4u);
        EXPECT_EQ(typeOf(info.out), "ui32");
        const auto n = static_cast<std::uint8_t>(expected.size());
        EXPECT_EQ(readKey(d, "#KEY"), (Bytes{0, 0, 0, n}));  // big-endian
        std::vector<std::string> names;
        std::string name;
        for (std::uint32_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(at(d, i, name), 0);
            names.push_back(name);
        }
        EXPECT_EQ(names, expected);
        EXPECT_EQ(at(d, n, name), 0x84);
        tree.log.clear();
        // The walk told root where each key is: its type takes one selection, no search.
        EXPECT_EQ(readKey(d, "TC0P"), (Bytes{0x30, 0x80}));
        EXPECT_EQ(tree.written().size(), root ? 2u : 0u);
    }
}

TEST(AppleSMCDriver, ProcessesOtherThanRootReadOwnAttributesAndMayNotWrite) {
    FakeTree tree;
    tree.put("fan1_input", "2480\n");
    tree.put("fan1_min", "2000\n");
    tree.put("fan1_label", "Left side\n");
    tree.put("fan1_manual", "1\n");
    tree.put("fan2_input", "2600\n");
    tree.put("fan2_manual", "0\n");
    tree.put("temp1_label", "TB0T\n");
    tree.put("temp1_input", "32000\n");
    tree.put("temp2_label", "TC0P\n");
    tree.put("temp2_input", "-3500\n");
    auto owner = tree.driver(false);
    AppleSMCDriver& d = *owner;
    tree.log.clear();

    EXPECT_EQ(readKey(d, "FNum"), Bytes{2});
    EXPECT_EQ(typeOf(call(d, request("FNum", 9)).out), "ui8 ");
    EXPECT_EQ(readKey(d, "F0Ac"), (Bytes{0x26, 0xC0}));  // 2480 rpm in fpe2
    EXPECT_EQ(typeOf(call(d, request("F0Ac", 9)).out), "fpe2");
    EXPECT_EQ(readKey(d, "F0Mn"), (Bytes{0x1F, 0x40}));
    EXPECT_EQ(readKey(d, "F1Ac"), (Bytes{0x28, 0xA0}));
    EXPECT_EQ(readKey(d, "F0ID"), (Bytes{0, 0, 0, 0, 'L', 'e', 'f', 't', ' ', 's', 'i', 'd', 'e'}));
    EXPECT_EQ(readKey(d, "FS! "), (Bytes{0, 1}));
    EXPECT_EQ(readKey(d, "TC0P"), (Bytes{0xFC, 0x80}));  // -3.5 ℃ in sp78
    EXPECT_EQ(typeOf(call(d, request("TC0P", 9)).out), "sp78");
    // Values are read again on every read.
    tree.put("fan1_input", "3000\n");
    EXPECT_EQ(readKey(d, "F0Ac"), (Bytes{0x2E, 0xE0}));
    for (const char* absent : {"F0Md", "F1Mx", "TG0P"})
        EXPECT_EQ(call(d, request(absent, 9)).out[40], 0x84) << absent;
    EXPECT_TRUE(tree.written().empty());

    EXPECT_EQ(call(d, request("F0Mn", 6, 2, {0x2E, 0xE0})).kr, kIOReturnNotPrivileged);
    EXPECT_EQ(call(d, request("F0Md", 6, 1, {1})).kr, kIOReturnNotPrivileged);
    EXPECT_TRUE(tree.written().empty());
    EXPECT_EQ(tree.get("fan1_min"), "2000\n");
}

}  // namespace

// A user cannot select, so it takes the keys' types from root's list: a patched driver's float
// speeds and mode keys read as root reads them. A list anybody could have written is ignored.
TEST(AppleSMCDriver, UsersTakeTheTypesRootListedAndOnlyFromRoot) {
    FakeTree tree;
    tree.keys.insert(tree.keys.begin() + tree.indexOf("F0Mn"), {"F0Md", "ui8 ", {1}});
    tree.keys[tree.indexOf("F0Ac")] = {"F0Ac", "flt ", {0x00, 0x00, 0x1B, 0x45}};  // 2480.0
    tree.put("key_count", std::to_string(tree.keys.size()) + "\n");
    tree.put("fan1_input", "2480\n");
    tree.put("fan1_min", "2000\n");
    tree.put("fan1_manual", "1\n");
    {
        // Root's umask does not close the directory of the list to users.
        const mode_t umask = ::umask(077);
        auto root = tree.driver();
        for (const char* key : {"F0Md", "F0Ac", "F0Mn", "F9Ac"})
            call(*root, request(key, 9));
        ::umask(umask);
    }
    struct stat dir;
    ASSERT_EQ(::stat(tree.runDir().c_str(), &dir), 0);
    EXPECT_EQ(dir.st_mode & 07777, 0755u);
    const std::string list =
        tree.get("../" + fs::path(tree.runDir()).filename().string() + "/keys");
    // Root lists the keys of each fan's attributes first, then what it looks up.
    EXPECT_EQ(list,
              "F0Md ui8  1\nF0Ac flt  4\nF0Mn fpe2 2\nF0Mx fpe2 2\nF0Tg fpe2 2\nF0Sf ---- 0\n"
              "F0ID {fds 8\nF9Ac ---- 0\n");

    auto user = tree.driver(false);
    EXPECT_EQ(readKey(*user, "F0Md"), Bytes{1});
    tree.put("fan1_manual", "2\n");  // the patched driver shows the mode byte as it is
    EXPECT_EQ(readKey(*user, "F0Md"), Bytes{2});
    EXPECT_EQ(typeOf(call(*user, request("F0Ac", 9)).out), "flt ");
    EXPECT_EQ(readKey(*user, "F0Ac"), (Bytes{0x00, 0x00, 0x1B, 0x45}));
    EXPECT_EQ(readKey(*user, "F0Mn"), (Bytes{0x1F, 0x40}));
    // Where mode keys exist, the manual attributes are theirs, not the bits of "FS! ".
    EXPECT_EQ(call(*user, request("FS! ", 9)).out[40], 0x84);
    EXPECT_EQ(call(*user, request("F9Ac", 9)).out[40], 0x84);

    ASSERT_EQ(::chmod(tree.typesPath().c_str(), 0666), 0);
    auto misled = tree.driver(false);
    EXPECT_EQ(typeOf(call(*misled, request("F0Ac", 9)).out), "fpe2");
    EXPECT_EQ(call(*misled, request("F0Md", 9)).out[40], 0x84);
}
