// The control commands of the emulator: one text line in, one reply line out.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Machine.h"
#include "Shown.h"

namespace smcemu {
namespace {

constexpr double kMaxClockStep = 1e6;  // seconds
constexpr uint64_t kMaxCallIndex = 1'000'000'000;
constexpr int kMaxSlowMs = 60'000;
// The temperatures a pin may hold: what a sensor of a running machine can read.
constexpr double kLowestPin = -40;
constexpr double kHighestPin = 150;

std::string err(const std::string& message) {
    return "ERR " + message;
}

// Splits a line into words at spaces and tabs. A word in double quotes may hold spaces;
// `quoted` tells which words were quoted. False with `error` set on a broken quote.
bool splitWords(std::string_view line, std::vector<std::string>& words, std::vector<bool>& quoted,
                std::string& error) {
    size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (true) {
        while (i < line.size() && blank(line[i]))
            ++i;
        if (i >= line.size()) return true;
        if (line[i] == '"') {
            size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos) {
                error = "missing closing quote";
                return false;
            }
            if (close + 1 < line.size() && !blank(line[close + 1])) {
                error = "a closing quote must be followed by a space";
                return false;
            }
            words.emplace_back(line.substr(i + 1, close - i - 1));
            quoted.push_back(true);
            i = close + 1;
        } else {
            size_t start = i;
            while (i < line.size() && !blank(line[i]))
                ++i;
            words.emplace_back(line.substr(start, i - start));
            quoted.push_back(false);
        }
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<double> parseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<uint64_t> parseCount(const std::string& text, uint64_t max) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) return std::nullopt;
    return v;
}

// A kernel return code in hex, with or without 0x; zero is not a failure code.
std::optional<int32_t> parseReturnCode(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty() || text.size() > 8) return std::nullopt;
    uint32_t v = 0;
    for (char c : text) {
        int d = hexDigit(c);
        if (d < 0) return std::nullopt;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    if (v == 0) return std::nullopt;
    return static_cast<int32_t>(v);
}

std::string hexOf(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

bool validKey(const std::string& key) {
    return key.size() == 4;
}

constexpr const char* kKeyError = "key must be four characters (quote a key with spaces: \"FS! \")";

}  // namespace

std::string Machine::control(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    std::vector<std::string> words;
    std::vector<bool> quoted;
    std::string error;
    if (!splitWords(line, words, quoted, error)) return err(error);
    if (words.empty()) return err("empty command");
    std::lock_guard lock(mutex_);
    sync();
    return controlLocked(words, quoted);
}

std::string Machine::controlLocked(const std::vector<std::string>& words,
                                   const std::vector<bool>& quoted) {
    const std::string& cmd = words[0];
    if (cmd == "load") return cmdLoad(words);
    if (cmd == "clock") return cmdClock(words);
    if (cmd == "fault") return cmdFault(words, quoted);
    if (cmd == "get") return cmdGet(words);
    if (cmd == "set") return cmdSet(words);
    if (cmd == "calls") {
        if (words.size() != 1) return err("usage: calls");
        return "OK " + std::to_string(calls_);
    }
    if (cmd == "status") {
        if (words.size() != 1) return err("usage: status");
        return cmdStatus();
    }
    if (cmd == "trace") return cmdTrace(words);
    if (cmd == "sleep") return cmdSleep(words);
    if (cmd == "takeback") return cmdTakeback(words);
    if (cmd == "pin") return cmdPin(words, quoted);
    return err("unknown command \"" + shown(cmd) + "\"");
}

std::string Machine::cmdLoad(const std::vector<std::string>& words) {
    if (words.size() != 2) return err("usage: load LEVEL (0 to 1)");
    std::optional<double> level = parseNumber(words[1]);
    if (!level || *level < 0 || *level > 1)
        return err("load level \"" + shown(words[1]) + "\" is not a number from 0 to 1");
    model_.setLoad(*level);
    char buf[48];
    std::snprintf(buf, sizeof buf, "OK load %g", *level);
    return buf;
}

std::string Machine::cmdClock(const std::vector<std::string>& words) {
    const char* usage = "usage: clock real | clock freeze | clock step SECONDS";
    if (words.size() < 2) return err(usage);
    const std::string& mode = words[1];
    if (mode == "real" && words.size() == 2) {
        clock_.followReal();
    } else if (mode == "freeze" && words.size() == 2) {
        clock_.freeze();
    } else if (mode == "step" && words.size() == 3) {
        std::optional<double> seconds = parseNumber(words[2]);
        if (!seconds || *seconds < 0 || *seconds > kMaxClockStep)
            return err("step \"" + shown(words[2]) + "\" is not a number of seconds from 0 to 1e6");
        clock_.step(*seconds);
        sync();
    } else {
        return err(usage);
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "OK clock %s t=%.3f", clock_.frozen() ? "frozen" : "real",
                  modelTime_);
    return buf;
}

std::string Machine::cmdFault(const std::vector<std::string>& words,
                              const std::vector<bool>& quoted) {
    const char* usage =
        "usage: fault KEY info|read|write KR | fault KEY drop | fault slow MS | "
        "fault call N KR|drop | fault clear";
    if (words.size() < 2) return err(usage);
    bool keyForm = words.size() >= 3 && (words[2] == "info" || words[2] == "read" ||
                                         words[2] == "write" || words[2] == "drop");
    const std::string& what = words[1];

    if (!keyForm && !quoted[1] && what == "clear" && words.size() == 2) {
        keyFaults_.clear();
        callFaults_.clear();
        slowMs_ = 0;
        return "OK faults cleared";
    }
    if (!keyForm && !quoted[1] && what == "slow" && words.size() == 3) {
        std::optional<uint64_t> ms = parseCount(words[2], kMaxSlowMs);
        if (!ms)
            return err("delay \"" + shown(words[2]) + "\" is not milliseconds from 0 to 60000");
        slowMs_ = static_cast<int>(*ms);
        return "OK slow " + std::to_string(slowMs_) + " ms";
    }
    if (!keyForm && !quoted[1] && what == "call" && words.size() == 4) {
        std::optional<uint64_t> n = parseCount(words[2], kMaxCallIndex);
        if (!n || *n == 0)
            return err("call number \"" + shown(words[2]) + "\" must be a whole number from 1");
        std::optional<int32_t> code;
        if (words[3] != "drop") {
            code = parseReturnCode(words[3]);
            if (!code) return err("\"" + shown(words[3]) + "\" is not a non-zero hex return code");
        }
        callFaults_[calls_ + *n] = code;
        return "OK call " + std::to_string(calls_ + *n) + " " +
               (code ? hexOf(static_cast<uint32_t>(*code)) : "drop");
    }
    if (!keyForm) return err(usage);

    if (!validKey(what)) return err(kKeyError);
    const std::string& kind = words[2];
    if (kind == "drop") {
        if (words.size() != 3) return err(usage);
        keyFaults_[what].drop = true;
        return "OK " + shown(what) + " drop";
    }
    if (words.size() != 4) return err(usage);
    std::optional<int32_t> code = parseReturnCode(words[3]);
    if (!code) return err("\"" + shown(words[3]) + "\" is not a non-zero hex return code");
    KeyFaults& f = keyFaults_[what];
    (kind == "info" ? f.info : kind == "read" ? f.read : f.write) = code;
    return "OK " + shown(what) + " " + kind + " " + hexOf(static_cast<uint32_t>(*code));
}

std::string Machine::cmdGet(const std::vector<std::string>& words) {
    if (words.size() != 2) return err("usage: get KEY");
    if (!validKey(words[1])) return err(kKeyError);
    const Key* key = keys_.find(words[1]);
    if (!key) return err("no key \"" + shown(words[1]) + "\"");
    std::string reply = "OK " + key->type + " " + std::to_string(key->bytes.size());
    if (!key->bytes.empty()) reply += ' ';
    for (uint8_t b : key->bytes) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02x", b);
        reply += buf;
    }
    return reply;
}

std::string Machine::cmdSet(const std::vector<std::string>& words) {
    if (words.size() < 2) return err("usage: set KEY HEX");
    if (!validKey(words[1])) return err(kKeyError);
    Key* key = keys_.find(words[1]);
    if (!key) return err("no key \"" + shown(words[1]) + "\"");
    std::string hex;
    for (size_t i = 2; i < words.size(); ++i)
        hex += words[i];
    if (hex.size() % 2 != 0) return err("hex value has an odd number of digits");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hexDigit(hex[i]), lo = hexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) return err("\"" + shown(hex) + "\" is not hexadecimal");
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    if (bytes.size() != key->bytes.size())
        return err("key " + key->name + " holds " + std::to_string(key->bytes.size()) +
                   " bytes, not " + std::to_string(bytes.size()));
    key->bytes = std::move(bytes);
    model_.adoptKey(key->name);
    return "OK";
}

std::string Machine::cmdStatus() {
    char buf[160];
    std::snprintf(buf, sizeof buf, "OK load=%.2f cpu=%.1f gpu=%.1f clock=%s t=%.3f calls=%llu",
                  model_.load(), model_.cpuTemperature(), model_.gpuTemperature(),
                  clock_.frozen() ? "frozen" : "real", modelTime_,
                  static_cast<unsigned long long>(calls_));
    std::string reply = buf;
    for (const ThermalModel::FanView& fan : model_.fans()) {
        std::snprintf(buf, sizeof buf, " fan%d=%.0frpm,%s,goal=%.0f", fan.index, fan.rpm,
                      fan.manual ? "manual" : "auto", fan.goal);
        reply += buf;
    }
    return reply;
}

// "trace [AFTER]": the kept calls numbered above AFTER (all kept calls without it), one
// word each, NUMBER:PID:COMMAND:KEY with the command as info, read, write or its hex byte.
std::string Machine::cmdTrace(const std::vector<std::string>& words) {
    if (words.size() > 2) return err("usage: trace [AFTER]");
    uint64_t after = 0;
    if (words.size() == 2) {
        std::optional<uint64_t> n = parseCount(words[1], UINT64_MAX);
        if (!n) return err("call number \"" + shown(words[1]) + "\" is not a whole number");
        after = *n;
    }
    std::string out = "OK";
    for (const TraceEntry& e : trace_) {
        if (e.number <= after) continue;
        std::string command = e.command == kCmdKeyInfo     ? "info"
                              : e.command == kCmdRead      ? "read"
                              : e.command == kCmdWrite     ? "write"
                              : e.command == kCmdReadIndex ? "index"
                                                           : hexOf(e.command);
        out += " " + std::to_string(e.number) + ":" + std::to_string(e.peer) + ":" + command + ":" +
               shown(e.key);
    }
    return out;
}

void Machine::handBack(int fan) {
    const std::string prefix = "F" + std::to_string(fan);
    if (Key* md = keys_.find(prefix + "Md")) {
        // The target stays as written: the SMC ignores it in automatic mode.
        std::fill(md->bytes.begin(), md->bytes.end(), uint8_t{0});
    } else if (Key* mn = keys_.find(prefix + "Mn")) {
        auto original = profileMinimums_.find(fan);
        if (original != profileMinimums_.end() && original->second.size() == mn->bytes.size())
            mn->bytes = original->second;
    }
    if (std::optional<double> word = keys_.number("FS! ");
        word && *word >= 0 && *word <= 65535 && fan < 16) {
        const unsigned bits = static_cast<unsigned>(*word) & ~(1u << fan);
        keys_.setNumber("FS! ", bits);
    }
}

// "sleep SECONDS": the machine sleeps that long. Its clock jumps by SECONDS, frozen or not,
// while the model runs as asleep (no heat; automatic fans stopped); on the wake the SMC takes
// every fan back to automatic control and clears the whole force-flag word.
std::string Machine::cmdSleep(const std::vector<std::string>& words) {
    if (words.size() != 2) return err("usage: sleep SECONDS");
    std::optional<double> seconds = parseNumber(words[1]);
    if (!seconds || !(*seconds > 0) || *seconds > kMaxClockStep)
        return err("sleep \"" + shown(words[1]) +
                   "\" is not a number of seconds above 0 and up to 1e6");
    model_.sleep(*seconds);
    clock_.step(*seconds);
    modelTime_ += *seconds;
    for (const ThermalModel::FanView& fan : model_.fans())
        handBack(fan.index);
    if (Key* flags = keys_.find("FS! "))
        std::fill(flags->bytes.begin(), flags->bytes.end(), uint8_t{0});
    model_.advance(0);  // publishes the automatic targets
    sleeps_.fetch_add(1);
    char buf[96];
    std::snprintf(buf, sizeof buf, "OK slept %g s, clock t=%.3f, every fan automatic", *seconds,
                  modelTime_);
    return buf;
}

// "takeback FAN": the SMC takes fan FAN back to automatic control by itself.
std::string Machine::cmdTakeback(const std::vector<std::string>& words) {
    if (words.size() != 2) return err("usage: takeback FAN");
    std::optional<uint64_t> fan = parseCount(words[1], 9);
    bool known = false;
    for (const ThermalModel::FanView& view : model_.fans())
        known = known || (fan && view.index == static_cast<int>(*fan));
    if (!known) return err("no fan \"" + shown(words[1]) + "\" on this machine");
    handBack(static_cast<int>(*fan));
    model_.advance(0);
    return "OK fan " + std::to_string(*fan) + " automatic";
}

// "pin KEY CELSIUS", "pin cpu CELSIUS", "pin KEY|cpu off": a temperature sensor key shows
// CELSIUS instead of the model's value, or the CPU temperature itself holds at CELSIUS (every
// TC* key shows it, the other sensors and automatic control follow it), until let go.
std::string Machine::cmdPin(const std::vector<std::string>& words,
                            const std::vector<bool>& quoted) {
    if (words.size() != 3) return err("usage: pin KEY|cpu CELSIUS | pin KEY|cpu off");
    const std::string& what = words[1];
    const bool cpu = what == "cpu" && !quoted[1];
    if (!cpu && !validKey(what)) return err(kKeyError);
    std::optional<double> celsius;
    if (words[2] != "off") {
        celsius = parseNumber(words[2]);
        if (!celsius || *celsius < kLowestPin || *celsius > kHighestPin)
            return err("temperature \"" + shown(words[2]) + "\" is not a number from -40 to 150");
    }
    if (cpu)
        model_.pinCpu(celsius);
    else if (!model_.pinKey(what, celsius))
        return err("no temperature sensor \"" + shown(what) + "\"");
    model_.advance(0);  // publishes the pinned value
    char value[32];
    std::snprintf(value, sizeof value, "%g", celsius.value_or(0));
    return "OK pin " + shown(what) + " " + (celsius ? value : "off");
}

}  // namespace smcemu
