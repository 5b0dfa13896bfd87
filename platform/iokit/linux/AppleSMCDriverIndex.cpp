// The key index through the applesmc driver: "#KEY" from key_count, the by-index read from
// key_at_index and key_at_index_name.
#include <algorithm>
#include <cstring>

#include "AppleSMCDriver.h"
#include "SMCBlock.h"

namespace {

constexpr std::uint8_t kCommandRead = 5;
constexpr std::uint8_t kCommandKeyInfo = 9;
constexpr std::uint8_t kResultKeyNotFound = 0x84;
constexpr std::uint8_t kResultBadCommand = 0x89;

void putLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t code(const std::string& four) {
    std::uint32_t c = 0;
    for (char ch : four)
        c = (c << 8) | static_cast<std::uint8_t>(ch);
    return c;
}

}  // namespace

std::vector<std::string> AppleSMCDriver::readableKeys() {
    temperatureAttribute("");  // reads the labels once
    std::vector<std::string> keys;
    for (const auto& [key, file] : *temperatureLabels_)
        if (key.size() == 4) keys.push_back(key);
    return keys;  // a map's keys: sorted
}

kern_return_t AppleSMCDriver::keyCountKey(std::uint8_t command, std::uint8_t* output) {
    if (command != kCommandKeyInfo && command != kCommandRead) {
        output[kSMCResultOffset] = kResultBadCommand;
        return kIOReturnSuccess;
    }
    int count = 0;
    if (privileged_) {
        if (kern_return_t kr = keyCount(count)) return kr;
    } else {
        count = static_cast<int>(readableKeys().size());
    }
    if (command == kCommandKeyInfo) {
        putLE32(output + kSMCDataSizeOffset, 4);
        putLE32(output + kSMCDataTypeOffset, code("ui32"));
        return kIOReturnSuccess;
    }
    // "ui32" is big-endian.
    for (int i = 0; i < 4; ++i)
        output[kSMCBytesOffset + i] = static_cast<std::uint8_t>(unsigned(count) >> (8 * (3 - i)));
    return kIOReturnSuccess;
}

kern_return_t AppleSMCDriver::keyAtIndex(std::uint32_t index, std::uint8_t* output) {
    std::string name;
    if (privileged_) {
        int count = 0;
        if (kern_return_t kr = keyCount(count)) return kr;
        if (index < static_cast<std::uint32_t>(count)) {
            const int at = static_cast<int>(index);
            kern_return_t kr = atIndex(at, nullptr, [&] {
                int err = readFile("key_at_index_name", name);
                name = name.substr(0, name.find('\n'));
                return err;
            });
            if (kr != kIOReturnSuccess) return kr;
            // Looking the key up later needs no search.
            if (name.size() == 4) indexCache_.emplace(name, at);
        }
    } else {
        const std::vector<std::string> keys = readableKeys();
        if (index < keys.size()) name = keys[index];
    }
    if (name.size() != 4) {
        output[kSMCResultOffset] = kResultKeyNotFound;
        return kIOReturnSuccess;
    }
    putLE32(output + kSMCKeyOffset, code(name));
    return kIOReturnSuccess;
}
