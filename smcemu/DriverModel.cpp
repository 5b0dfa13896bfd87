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

DriverModel::DriverModel(Machine& machine, DriverVariant variant)
    : machine_(machine), variant_(variant) {
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
    for (int fan = 0; fan < fans; ++fan) {
        std::string prefix = "fan" + std::to_string(fan + 1) + "_";
        addFile(prefix + "label", false, {Kind::FanLabel, fan, fanKey(fan, "ID")});
        addFile(prefix + "input", false, {Kind::FanSpeed, fan, fanKey(fan, "Ac")});
        addFile(prefix + "min", true, {Kind::FanSpeed, fan, fanKey(fan, "Mn")});
        addFile(prefix + "max", false, {Kind::FanSpeed, fan, fanKey(fan, "Mx")});
        addFile(prefix + "safe", false, {Kind::FanSpeed, fan, fanKey(fan, "Sf")});
        addFile(prefix + "output", true, {Kind::FanSpeed, fan, fanKey(fan, "Tg")});
        addFile(prefix + "manual", true, {Kind::FanManual, fan, ""});
    }
    // Every key from "T" on to "U" of type sp78 is a temperature sensor, numbered in index
    // order; keys of other types are skipped without leaving a gap.
    int sensor = 0;
    for (const KeyShape& k : keys_) {
        if (k.name[0] != 'T' || k.type != "sp78") continue;
        std::string prefix = "temp" + std::to_string(++sensor) + "_";
        addFile(prefix + "label", false, {Kind::TempLabel, 0, k.name});
        addFile(prefix + "input", false, {Kind::TempInput, 0, k.name});
    }
}

void DriverModel::addFile(std::string name, bool writable, Attribute attribute) {
    files_.push_back({std::move(name), writable});
    attributes_.push_back(std::move(attribute));
}

const DriverModel::File* DriverModel::file(std::string_view name) const {
    for (const File& f : files_)
        if (f.name == name) return &f;
    return nullptr;
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

DriverModel::Content DriverModel::read(std::string_view name, int pid) {
    auto it =
        std::find_if(files_.begin(), files_.end(), [&](const File& f) { return f.name == name; });
    if (it == files_.end()) return {ENOENT, {}};
    const Attribute& attribute = attributes_[static_cast<size_t>(it - files_.begin())];
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

int DriverModel::write(std::string_view name, std::string_view data, uid_t uid, int pid) {
    auto it =
        std::find_if(files_.begin(), files_.end(), [&](const File& f) { return f.name == name; });
    if (it == files_.end()) return ENOENT;
    if (!it->writable || uid != 0) return EACCES;
    const Attribute& attribute = attributes_[static_cast<size_t>(it - files_.begin())];
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
            // The patched driver shows the fan's mode byte as it is, where the key exists.
            if (hasModeKey(a.fan)) {
                if (!(c.error = readKey(access, fanKey(a.fan, "Md"), 1, bytes)))
                    c.bytes = number(bytes[0]);
            } else if (!(c.error = readKey(access, "FS! ", 2, bytes))) {
                unsigned word = static_cast<unsigned>(bytes[0] << 8 | bytes[1]);
                c.bytes = number(a.fan < 16 ? (word >> a.fan) & 1 : 0);
            }
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
        case Kind::FanManual: {
            // The patched driver stores value & 1 in the mode byte, where the key exists.
            if (hasModeKey(a.fan))
                return writeKey(access, fanKey(a.fan, "Md"), {static_cast<uint8_t>(*value & 1)});
            // Read-modify-write of the fan's bit in the big-endian flag word.
            std::vector<uint8_t> bytes;
            if (int error = readKey(access, "FS! ", 2, bytes)) return error;
            if (a.fan >= 16) return EINVAL;
            unsigned word = static_cast<unsigned>(bytes[0] << 8 | bytes[1]);
            unsigned bit = 1u << a.fan;
            word = *value ? word | bit : word & ~bit;
            bytes = {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
            return writeKey(access, "FS! ", bytes);
        }
        default:
            return EACCES;
    }
}

}  // namespace smcemu
