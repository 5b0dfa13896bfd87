#include "DriverModel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "Codec.h"

namespace smcemu {
namespace {

// The largest speed the driver takes, in rpm.
constexpr uint64_t kMaxSpeed = 0x4000;

std::string fanKey(int fan, const char* suffix) {
    return "F" + std::to_string(fan) + suffix;
}

std::string number(long long v) {
    return std::to_string(v) + "\n";
}

// A decimal number as the driver parses input: an optional '+', digits, at most one
// trailing line feed, nothing else; no value when it does not fit in 64 bits either.
std::optional<uint64_t> parseDecimal(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        auto digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) return std::nullopt;
        v = v * 10 + digit;
    }
    return v;
}

void putKey(uint8_t* block, const std::string& key) {
    for (int i = 0; i < 4; ++i)
        block[kSMCKeyOffset + i] = static_cast<uint8_t>(key[3 - i]);
}

void putSize(uint8_t* block, size_t size) {
    for (int i = 0; i < 4; ++i)
        block[kSMCDataSizeOffset + i] = static_cast<uint8_t>(size >> (8 * i));
}

}  // namespace

std::optional<DriverVariant> parseDriverVariant(std::string_view name) {
    if (name == "mainline") return DriverVariant::Mainline;
    if (name == "t2") return DriverVariant::T2;
    return std::nullopt;
}

std::optional<DriverLayout> parseDriverLayout(std::string_view name) {
    if (name == "device") return DriverLayout::Device;
    if (name == "hwmon") return DriverLayout::Hwmon;
    return std::nullopt;
}

DriverModel::DriverModel(Machine& machine, DriverVariant variant, DriverLayout layout)
    : machine_(machine), variant_(variant), layout_(layout) {
    std::vector<Key> keys = machine.keysByIndex();
    for (const Key& k : keys)
        keys_.push_back({k.name, k.type, k.bytes.size()});

    int fans = 0;
    auto fnum =
        std::find_if(keys.begin(), keys.end(), [](const Key& k) { return k.name == "FNum"; });
    if (fnum != keys.end() && !fnum->bytes.empty()) fans = fnum->bytes[0];

    addFile("key_count", false, {Kind::KeyCount, 0, ""});
    addFile("key_at_index", true, {Kind::KeyAtIndex, 0, ""});
    addFile("key_at_index_name", false, {Kind::IndexName, 0, ""});
    addFile("key_at_index_type", false, {Kind::IndexType, 0, ""});
    addFile("key_at_index_data_length", false, {Kind::IndexLength, 0, ""});
    addFile("key_at_index_data", false, {Kind::IndexData, 0, ""});
    const bool hw = layout_ == DriverLayout::Hwmon;
    if (hw) addFile("name", false, {Kind::HwmonName, 0, ""}, true);
    for (int fan = 0; fan < fans; ++fan) {
        const std::string n = std::to_string(fan + 1);
        const std::string prefix = "fan" + n + "_";
        addFile(prefix + "label", false, {Kind::FanLabel, fan, fanKey(fan, "ID")}, hw);
        addFile(prefix + "input", false, {Kind::FanSpeed, fan, fanKey(fan, "Ac")}, hw);
        addFile(prefix + "min", true, {Kind::FanSpeed, fan, fanKey(fan, "Mn")}, hw);
        addFile(prefix + "max", false, {Kind::FanSpeed, fan, fanKey(fan, "Mx")}, hw);
        addFile(prefix + "safe", false, {Kind::FanSpeed, fan, fanKey(fan, "Sf")}, hw);
        addFile(prefix + (hw ? "target" : "output"), true, {Kind::FanSpeed, fan, fanKey(fan, "Tg")},
                hw);
        if (hw)
            addFile("pwm" + n + "_enable", true, {Kind::PwmEnable, fan, ""}, true);
        else
            addFile(prefix + "manual", true, {Kind::FanManual, fan, ""});
    }
    // Every key from "T" on to "U" of type sp78 is a temperature sensor, numbered in index
    // order; keys of other types are skipped without leaving a gap.
    int sensor = 0;
    for (const KeyShape& k : keys_) {
        if (k.name[0] != 'T' || k.type != "sp78") continue;
        std::string prefix = "temp" + std::to_string(++sensor) + "_";
        addFile(prefix + "label", false, {Kind::TempLabel, 0, k.name}, hw);
        addFile(prefix + "input", false, {Kind::TempInput, 0, k.name}, hw);
    }
}

void DriverModel::addFile(std::string name, bool writable, Attribute attribute, bool hwmon) {
    files_.push_back({std::move(name), writable, hwmon});
    attributes_.push_back(std::move(attribute));
}

std::string DriverModel::hwmonDirectory() const {
    if (layout_ != DriverLayout::Hwmon) return "";
    return "hwmon/hwmon" + std::to_string(machine_.sleepCount());
}

long DriverModel::fileIndex(std::string_view path) const {
    bool hwmon = false;
    if (layout_ == DriverLayout::Hwmon) {
        const std::string dir = hwmonDirectory() + "/";
        if (path.substr(0, dir.size()) == dir) {
            path.remove_prefix(dir.size());
            hwmon = true;
        }
    }
    for (size_t i = 0; i < files_.size(); ++i)
        if (files_[i].hwmon == hwmon && files_[i].name == path) return static_cast<long>(i);
    return -1;
}

const DriverModel::File* DriverModel::file(std::string_view path) const {
    const long i = fileIndex(path);
    return i < 0 ? nullptr : &files_[static_cast<size_t>(i)];
}

bool DriverModel::isDirectory(std::string_view path) const {
    if (path.empty()) return true;
    if (layout_ != DriverLayout::Hwmon) return false;
    return path == "hwmon" || path == hwmonDirectory();
}

std::vector<DriverModel::Entry> DriverModel::list(std::string_view path) const {
    std::vector<Entry> entries;
    if (!isDirectory(path)) return entries;
    if (path == "hwmon") {
        entries.push_back({hwmonDirectory().substr(6), true});
        return entries;
    }
    const bool hwmon = !path.empty();
    if (!hwmon && layout_ == DriverLayout::Hwmon) entries.push_back({"hwmon", true});
    for (const File& f : files_)
        if (f.hwmon == hwmon) entries.push_back({f.name, false});
    return entries;
}

const DriverModel::KeyShape* DriverModel::shape(std::string_view key) const {
    auto it =
        std::lower_bound(keys_.begin(), keys_.end(), key,
                         [](const KeyShape& k, std::string_view name) { return k.name < name; });
    return it != keys_.end() && it->name == key ? &*it : nullptr;
}

bool DriverModel::hasModeKey(int fan) const {
    return variant_ == DriverVariant::T2 && shape(fanKey(fan, "Md")) != nullptr;
}

bool DriverModel::isFloat(const std::string& key) const {
    const KeyShape* k = shape(key);
    return variant_ == DriverVariant::T2 && k && k->type == "flt ";
}

int DriverModel::readKey(Access& access, const std::string& key, size_t length,
                         std::vector<uint8_t>& bytes) {
    // The driver knows each key's size from loading; a missing key or another size is
    // refused before the SMC is asked.
    const KeyShape* k = shape(key);
    if (!k || (length != 0 && k->size != length)) return EINVAL;
    uint8_t in[kBlockSize] = {}, out[kBlockSize];
    putKey(in, key);
    putSize(in, k->size);
    in[kSMCCommandOffset] = kCmdRead;
    CallOutcome outcome = access.session.serve(kSMCStructMethodSelector, in, out, true, access.pid);
    access.delayMs += outcome.delayMs;
    if (outcome.drop || outcome.kr != kIOReturnSuccess || out[kSMCResultOffset] != 0) return EIO;
    // The driver reads a key of any size whole; a call's block carries only 32 bytes.
    bytes = access.session.bytes(key).value_or(std::vector<uint8_t>{});
    return 0;
}

int DriverModel::writeKey(Access& access, const std::string& key,
                          const std::vector<uint8_t>& bytes) {
    const KeyShape* k = shape(key);
    if (!k || k->size != bytes.size()) return EINVAL;
    uint8_t in[kBlockSize] = {}, out[kBlockSize];
    putKey(in, key);
    putSize(in, bytes.size());
    in[kSMCCommandOffset] = kCmdWrite;
    std::copy_n(bytes.begin(), std::min(bytes.size(), kSMCMaxBytes), in + kSMCBytesOffset);
    CallOutcome outcome = access.session.serve(kSMCStructMethodSelector, in, out, true, access.pid);
    access.delayMs += outcome.delayMs;
    if (outcome.drop || outcome.kr != kIOReturnSuccess || out[kSMCResultOffset] != 0) return EIO;
    return 0;
}

DriverModel::Content DriverModel::read(std::string_view path, int pid) {
    const long i = fileIndex(path);
    if (i < 0) return {ENOENT, {}};
    const Attribute& attribute = attributes_[static_cast<size_t>(i)];
    Content content;
    int delayMs = 0;
    {
        std::lock_guard lock(mutex_);
        Access access{machine_.session(), pid};
        content = readAttribute(access, attribute);
        delayMs = access.delayMs;
    }
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    return content;
}

int DriverModel::write(std::string_view path, std::string_view data, uid_t uid, int pid) {
    const long i = fileIndex(path);
    if (i < 0) return ENOENT;
    if (!files_[static_cast<size_t>(i)].writable || uid != 0) return EACCES;
    const Attribute& attribute = attributes_[static_cast<size_t>(i)];
    int error = 0, delayMs = 0;
    {
        std::lock_guard lock(mutex_);
        Access access{machine_.session(), pid};
        error = writeAttribute(access, attribute, data);
        delayMs = access.delayMs;
    }
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    return error;
}

int DriverModel::readSpeed(Access& access, const std::string& key, unsigned& rpm) {
    // Only the size is checked, never the type: fpe2 on two bytes, or on the patched driver
    // a "flt " key as a float on four.
    const bool isFloatKey = isFloat(key);
    std::vector<uint8_t> bytes;
    if (int error = readKey(access, key, isFloatKey ? 4 : 2, bytes)) return error;
    if (!isFloatKey) {
        rpm = static_cast<unsigned>(bytes[0] << 8 | bytes[1]) >> 2;
        return 0;
    }
    std::optional<double> v = codec::decode(bytes, "flt ");
    // The driver truncates a float.
    rpm = v && *v > 0 && *v < 4294967295.0 ? static_cast<unsigned>(*v) : 0;
    return 0;
}

DriverModel::Content DriverModel::readAttribute(Access& access, const Attribute& a) {
    Content c;
    std::vector<uint8_t> bytes;
    switch (a.kind) {
        case Kind::KeyCount:
            c.bytes = number(static_cast<long long>(keys_.size()));
            break;
        case Kind::KeyAtIndex:
            c.bytes = number(static_cast<long long>(selected_));
            break;
        case Kind::IndexName:
        case Kind::IndexType:
        case Kind::IndexLength:
            if (selected_ >= keys_.size()) {
                c.error = EINVAL;
            } else {
                const KeyShape& k = keys_[selected_];
                c.bytes = a.kind == Kind::IndexName   ? k.name + "\n"
                          : a.kind == Kind::IndexType ? k.type + "\n"
                                                      : number(static_cast<long long>(k.size));
            }
            break;
        case Kind::IndexData:
            if (selected_ >= keys_.size()) {
                c.error = EINVAL;
            } else if (!(c.error = readKey(access, keys_[selected_].name, 0, bytes))) {
                c.bytes.assign(bytes.begin(), bytes.end());
            }
            break;
        case Kind::FanLabel:
            // The fan's 16-byte record holds a flags word, then its name ended by NUL or by
            // the record's end: at most 12 characters.
            if (!(c.error = readKey(access, a.key, 16, bytes))) {
                auto end = std::find(bytes.begin() + 4, bytes.end(), uint8_t{0});
                c.bytes.assign(bytes.begin() + 4, end);
                c.bytes += '\n';
            }
            break;
        case Kind::FanSpeed: {
            unsigned rpm = 0;
            if (!(c.error = readSpeed(access, a.key, rpm))) c.bytes = number(rpm);
            break;
        }
        case Kind::FanManual:
        case Kind::PwmEnable: {
            unsigned manual = 0;
            if (!(c.error = readManual(access, a.fan, manual)))
                c.bytes = a.kind == Kind::FanManual ? number(manual) : number(manual & 1 ? 1 : 2);
            break;
        }
        case Kind::HwmonName:
            c.bytes = "applesmc\n";
            break;
        case Kind::TempLabel:
            c.bytes = a.key + "\n";
            break;
        case Kind::TempInput: {
            if (!(c.error = readKey(access, a.key, 2, bytes))) {
                // sp78 in quarter degrees, as millidegrees.
                auto raw = static_cast<int16_t>(bytes[0] << 8 | bytes[1]);
                c.bytes = number(250 * (raw >> 6));
            }
            break;
        }
    }
    if (c.error) c.bytes.clear();
    return c;
}

int DriverModel::writeAttribute(Access& access, const Attribute& a, std::string_view data) {
    std::optional<uint64_t> value = parseDecimal(data);
    if (!value) return EINVAL;
    switch (a.kind) {
        case Kind::KeyAtIndex:
            if (*value >= keys_.size()) return EINVAL;
            selected_ = *value;
            return 0;
        case Kind::FanSpeed: {
            if (*value >= kMaxSpeed) return EINVAL;
            // The key's own encoding on the patched driver; fpe2 on the mainline one, whatever
            // the key's type (its size alone is checked).
            if (isFloat(a.key)) {
                std::vector<uint8_t> bytes(4, 0);
                codec::encodeInto(static_cast<double>(*value), "flt ", bytes);
                return writeKey(access, a.key, bytes);
            }
            const auto raw = static_cast<unsigned>(*value << 2);
            return writeKey(access, a.key,
                            {static_cast<uint8_t>(raw >> 8), static_cast<uint8_t>(raw)});
        }
        case Kind::FanManual:
            return writeManual(access, a.fan, *value);
        case Kind::PwmEnable:
            // 1 is manual control, 2 automatic; the driver offers no other mode.
            if (*value != 1 && *value != 2) return EINVAL;
            return writeManual(access, a.fan, *value == 1 ? 1 : 0);
        default:
            return EACCES;
    }
}

int DriverModel::readManual(Access& access, int fan, unsigned& value) {
    std::vector<uint8_t> bytes;
    // The patched driver shows the fan's mode byte as it is, where the key exists.
    if (hasModeKey(fan)) {
        if (int error = readKey(access, fanKey(fan, "Md"), 1, bytes)) return error;
        value = bytes[0];
        return 0;
    }
    if (int error = readKey(access, "FS! ", 2, bytes)) return error;
    unsigned word = static_cast<unsigned>(bytes[0] << 8 | bytes[1]);
    value = fan < 16 ? (word >> fan) & 1 : 0;
    return 0;
}

int DriverModel::writeManual(Access& access, int fan, uint64_t value) {
    // The patched driver stores value & 1 in the mode byte, where the key exists.
    if (hasModeKey(fan))
        return writeKey(access, fanKey(fan, "Md"), {static_cast<uint8_t>(value & 1)});
    // Read-modify-write of the fan's bit in the big-endian flag word.
    std::vector<uint8_t> bytes;
    if (int error = readKey(access, "FS! ", 2, bytes)) return error;
    if (fan >= 16) return EINVAL;
    unsigned word = static_cast<unsigned>(bytes[0] << 8 | bytes[1]);
    unsigned bit = 1u << fan;
    word = value ? word | bit : word & ~bit;
    bytes = {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
    return writeKey(access, "FS! ", bytes);
}

}  // namespace smcemu
