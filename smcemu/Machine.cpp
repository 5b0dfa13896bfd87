#include "Machine.h"

#include <algorithm>
#include <cstring>

namespace smcemu {
namespace {

uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The key code holds the four key bytes read big-endian.
std::string keyName(uint32_t code) {
    std::string name(4, '\0');
    for (int i = 0; i < 4; ++i)
        name[i] = static_cast<char>(code >> (8 * (3 - i)));
    return name;
}

void putBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
}

uint32_t keyCode(const std::string& name) {
    uint32_t code = 0;
    for (char c : name)
        code = (code << 8) | static_cast<uint8_t>(c);
    return code;
}

uint32_t typeCode(const std::string& type) {
    uint32_t code = 0;
    for (char c : type)
        code = (code << 8) | static_cast<uint8_t>(c);
    return code;
}

}  // namespace

Machine::Machine(const Profile& profile, SimClock::Source time)
    : keys_(profile.keys), model_(modelParams(profile), keys_), clock_(std::move(time)) {
    modelTime_ = clock_.now();
    for (const Key& key : keys_.all()) {
        index_.push_back(key.name);
        // F{i}Mn: what a wake or a takeback puts back on a fan without a mode byte.
        if (key.name[0] == 'F' && key.name[1] >= '0' && key.name[1] <= '9' &&
            key.name.compare(2, 2, "Mn") == 0)
            profileMinimums_[key.name[1] - '0'] = key.bytes;
    }
    std::sort(index_.begin(), index_.end());
}

void Machine::sync() {
    double t = clock_.now();
    if (t > modelTime_) {
        model_.advance(t - modelTime_);
        modelTime_ = t;
    }
}

CallOutcome Machine::serve(uint32_t selector, const uint8_t* in, uint8_t* out, bool privileged,
                           int peer) {
    std::lock_guard lock(mutex_);
    return serveLocked(selector, in, out, privileged, peer);
}

CallOutcome Machine::serveLocked(uint32_t selector, const uint8_t* in, uint8_t* out,
                                 bool privileged, int peer) {
    std::memset(out, 0, kBlockSize);
    CallOutcome outcome;
    outcome.delayMs = slowMs_;
    uint64_t number = ++calls_;
    if (trace_.size() == kTraceLength) trace_.pop_front();
    trace_.push_back({number, peer, in[kSMCCommandOffset], keyName(le32(in + kSMCKeyOffset))});
    sync();

    if (auto it = callFaults_.find(number); it != callFaults_.end()) {
        std::optional<int32_t> code = it->second;
        callFaults_.erase(it);
        if (!code)
            outcome.drop = true;
        else
            outcome.kr = *code;
        return outcome;
    }
    if (selector != kSMCStructMethodSelector) {
        outcome.kr = kIOReturnUnsupported;
        return outcome;
    }

    std::string name = keyName(le32(in + kSMCKeyOffset));
    uint8_t command = in[kSMCCommandOffset];
    if (auto it = keyFaults_.find(name); it != keyFaults_.end()) {
        const KeyFaults& f = it->second;
        std::optional<int32_t> code = command == kCmdKeyInfo ? f.info
                                      : command == kCmdRead  ? f.read
                                      : command == kCmdWrite ? f.write
                                                             : std::nullopt;
        if (f.drop) {
            outcome.drop = true;
            return outcome;
        }
        if (code) {
            outcome.kr = *code;
            return outcome;
        }
    }

    switch (command) {
        case kCmdKeyInfo:
            keyInfo(name, out);
            break;
        case kCmdRead:
            readKey(name, out);
            break;
        case kCmdReadIndex:
            keyAtIndex(le32(in + kSMCData32Offset), out);
            break;
        case kCmdWrite:
            writeKey(name, in, out, privileged, outcome.kr);
            break;
        default:
            out[kSMCResultOffset] = kSMCResultBadCommand;
            break;
    }
    return outcome;
}

void Machine::keyInfo(const std::string& name, uint8_t* out) {
    if (name == kSMCKeyCountKey && !keys_.has(name)) {
        putLe32(out + kSMCDataSizeOffset, 4);
        putLe32(out + kSMCDataTypeOffset, typeCode("ui32"));
        return;
    }
    const Key* key = keys_.find(name);
    if (!key) {
        out[kSMCResultOffset] = kSMCResultKeyNotFound;
        return;
    }
    putLe32(out + kSMCDataSizeOffset, static_cast<uint32_t>(key->bytes.size()));
    putLe32(out + kSMCDataTypeOffset, typeCode(key->type));
}

void Machine::keyAtIndex(uint32_t index, uint8_t* out) const {
    if (index >= index_.size()) {
        out[kSMCResultOffset] = kSMCResultKeyNotFound;
        return;
    }
    putLe32(out + kSMCKeyOffset, keyCode(index_[index]));
}

void Machine::readKey(const std::string& name, uint8_t* out) {
    if (name == kSMCKeyCountKey && !keys_.has(name)) {
        putBe32(out + kSMCBytesOffset, static_cast<uint32_t>(index_.size()));
        return;
    }
    const Key* key = keys_.find(name);
    if (!key) {
        out[kSMCResultOffset] = kSMCResultKeyNotFound;
        return;
    }
    size_t n = std::min(key->bytes.size(), kSMCMaxBytes);
    std::copy_n(key->bytes.begin(), n, out + kSMCBytesOffset);
}

void Machine::writeKey(const std::string& name, const uint8_t* in, uint8_t* out, bool privileged,
                       int32_t& kr) {
    if (!privileged) {
        kr = kIOReturnNotPrivileged;
        return;
    }
    Key* key = keys_.find(name);
    if (!key) {
        out[kSMCResultOffset] = kSMCResultKeyNotFound;
        return;
    }
    if (ThermalModel::isComputedKey(name)) {
        out[kSMCResultOffset] = kResultNotWritable;
        return;
    }
    size_t n = std::min(key->bytes.size(), kSMCMaxBytes);
    std::copy_n(in + kSMCBytesOffset, n, key->bytes.begin());
}

double Machine::cpuTemperature() {
    std::lock_guard lock(mutex_);
    sync();
    return model_.cpuTemperature();
}

std::optional<double> Machine::fanRpm(int fan) {
    std::lock_guard lock(mutex_);
    sync();
    for (const ThermalModel::FanView& view : model_.fans())
        if (view.index == fan) return view.rpm;
    return std::nullopt;
}

std::optional<double> Machine::keyNumber(std::string_view key) {
    std::lock_guard lock(mutex_);
    sync();
    return keys_.number(key);
}

std::vector<Key> Machine::keysByIndex() {
    std::lock_guard lock(mutex_);
    sync();
    std::vector<Key> keys = keys_.all();
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.name < b.name; });
    return keys;
}

uint64_t Machine::callCount() {
    std::lock_guard lock(mutex_);
    return calls_;
}

}  // namespace smcemu
