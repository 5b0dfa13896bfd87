#include "Writes.h"

#include <algorithm>
#include <cerrno>

namespace applesmc {

std::optional<AttributeWrite> attributeWrite(const std::string& key, const KeyInfo& info,
                                             const SMCBlock& input, const DriverFiles& files,
                                             bool patched) {
    if (info.size == 0 || le32(input.data() + kSMCDataSizeOffset) != info.size) return std::nullopt;
    const std::uint8_t* bytes = input.data() + kSMCBytesOffset;
    // The patched driver writes the mode byte itself (value & 1): 0 and 1 go through as
    // they are. The mainline driver's manual file sets a bit of "FS! " instead.
    if (const int fan = fanNumber(key, "Md")) {
        if (!patched || files.hwmonLayout() || info.size != 1 || bytes[0] > 1) return std::nullopt;
        return AttributeWrite{files.fanFile(fan, "manual"), std::to_string(bytes[0]) + "\n"};
    }
    const int minimum = fanNumber(key, "Mn");
    const int target = fanNumber(key, "Tg");
    if (minimum == 0 && target == 0) return std::nullopt;
    // A speed goes in whole rpm, encoded by the driver in the key's own type: fpe2 on every
    // driver (unsigned 14.2 fixed point, so the fraction is lost), "flt " only on the
    // patched one; the mainline driver would write a float key as fpe2.
    std::optional<long long> rpm;
    if (info.type == "fpe2" && info.size == 2)
        rpm = (unsigned(bytes[0]) << 8 | bytes[1]) >> 2;
    else if (info.type == "flt " && info.size == 4 && patched)
        rpm = floatRpm(bytes);
    if (!rpm) return std::nullopt;
    return AttributeWrite{
        minimum != 0 ? files.fanFile(minimum, "min") : files.fanFile(target, "output"),
        std::to_string(*rpm) + "\n"};
}

kern_return_t writeAnswer(int err) {
    switch (err) {
        case 0:
            return kIOReturnSuccess;
        case EACCES:
        case EPERM:
            return kIOReturnNotPrivileged;
        case ENOENT:
            return kIOReturnNotWritable;
        default:
            return kIOReturnError;
    }
}

bool comparableWrite(const KeyInfo& info, const SMCBlock& input) {
    return info.size != 0 && info.size <= kSMCMaxBytes &&
           le32(input.data() + kSMCDataSizeOffset) == info.size;
}

bool holdsAlready(const KeyInfo& info, const SMCBlock& input, const Bytes& current) {
    return current.size() == info.size &&
           std::equal(current.begin(), current.end(), input.begin() + kSMCBytesOffset);
}

}  // namespace applesmc
