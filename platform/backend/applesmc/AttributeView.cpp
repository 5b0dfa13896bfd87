#include "AttributeView.h"

#include <algorithm>
#include <cerrno>
#include <optional>

namespace applesmc {

namespace {

// Fans are F0 to F9 (one digit in a four-character key).
constexpr int kMaxFans = 10;

}  // namespace

kern_return_t AttributeView::value(const std::string& key, KeyInfo& info, Bytes& bytes) {
    info = {};
    bytes.clear();
    const auto& listed = types_.listed();
    const auto entry = listed.find(key);
    const KeyInfo* known = entry != listed.end() ? &entry->second : nullptr;
    // A key root found missing is missing here too.
    if (known && known->size == 0) return kIOReturnSuccess;
    // Where the SMC has mode keys (a patched driver) the manual attributes show them;
    // otherwise they are the bits of "FS! ".
    const bool modeKeys = std::any_of(listed.begin(), listed.end(), [](const auto& item) {
        return item.second.size != 0 && fanNumber(item.first, "Md") != 0;
    });

    std::string text;
    // Reads one attribute: true with its text, false when the driver lacks it.
    kern_return_t kr = kIOReturnSuccess;
    const auto read = [&](const std::string& file) {
        const int err = files_.read(file, text);
        if (err != 0 && err != ENOENT) kr = fromErrno(err);
        return err == 0;
    };
    const auto number = [&]() -> std::optional<long long> {
        auto value = decimal(text);
        if (!value) kr = kIOReturnError;
        return value;
    };
    // A fan's manual flag: the driver's value; in the hwmon layout pwmN_enable, where 1 is
    // manual control.
    const auto manual = [&]() -> std::optional<long long> {
        auto value = number();
        if (value && files_.hwmonLayout()) value = *value == 1 ? 1 : 0;
        return value;
    };
    // The value as found, unless root listed the key with a type it cannot have.
    const auto found = [&](KeyInfo is, Bytes value) {
        if (known && known->type != is.type) return kIOReturnSuccess;
        info = std::move(is);
        bytes = std::move(value);
        return kIOReturnSuccess;
    };

    if (key == "FNum") {
        int fans = 0;
        while (fans < kMaxFans && read(files_.fanFile(fans + 1, "input")))
            ++fans;
        if (kr != kIOReturnSuccess) return kr;
        return found({1, "ui8 "}, {static_cast<std::uint8_t>(fans)});
    }
    if (key == "FS! " && !modeKeys) {
        long long bits = 0;
        int fans = 0;
        for (; fans < kMaxFans && read(files_.fanFile(fans + 1, "manual")); ++fans) {
            const auto bit = manual();
            if (!bit) return kr;
            if (*bit != 0) bits |= 1LL << fans;
        }
        if (kr != kIOReturnSuccess || fans == 0) return kr;
        return found({2, "ui16"}, bigEndian16(bits));
    }
    if (const int fan = fanNumber(key, "Md"); fan != 0 && modeKeys && known && known->size == 1) {
        if (!read(files_.fanFile(fan, "manual"))) return kr;
        // The patched driver shows the mode byte as it is.
        const auto value = manual();
        if (!value) return kr;
        info = *known;
        bytes = {static_cast<std::uint8_t>(std::clamp<long long>(*value, 0, 0xFF))};
        return kIOReturnSuccess;
    }
    static constexpr std::pair<const char*, const char*> kSpeeds[] = {
        {"Ac", "input"}, {"Mn", "min"}, {"Mx", "max"}, {"Sf", "safe"}, {"Tg", "output"}};
    for (const auto& [suffix, attribute] : kSpeeds) {
        if (const int fan = fanNumber(key, suffix)) {
            if (!read(files_.fanFile(fan, attribute))) return kr;
            const auto rpm = number();
            if (!rpm) return kr;
            const KeyInfo is = known ? *known : KeyInfo{2, "fpe2"};
            bytes = speedBytes(is.type, is.size, *rpm);
            if (!bytes.empty()) info = is;
            return kIOReturnSuccess;
        }
    }
    if (const int fan = fanNumber(key, "ID")) {
        // The label is the record's name part, which starts at byte 4.
        if (!read(files_.fanFile(fan, "label"))) return kr;
        const std::string name = firstLine(text).substr(0, kSMCMaxBytes - 4);
        Bytes record(4, 0);
        record.insert(record.end(), name.begin(), name.end());
        // Root's list knows the record's size; the driver's text lost its padding.
        if (known && known->size >= 4 && known->size <= kSMCMaxBytes) record.resize(known->size, 0);
        const auto size = static_cast<std::uint32_t>(record.size());
        return found({size, "{fds"}, std::move(record));
    }
    if (const auto file = labels_.inputFile(key)) {
        if (!read(*file)) return kr;
        const auto millidegrees = number();
        if (!millidegrees) return kr;
        return found({2, "sp78"}, sp78Bytes(*millidegrees));
    }
    return kIOReturnSuccess;
}

}  // namespace applesmc
