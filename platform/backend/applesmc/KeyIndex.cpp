#include "KeyIndex.h"

namespace applesmc {

kern_return_t KeyIndex::countKey(std::uint8_t command, SMCBlock& output) {
    const auto cmd = static_cast<SMCCommand>(command);
    if (cmd != SMCCommand::readKeyInfo && cmd != SMCCommand::readBytes) {
        output[kSMCResultOffset] = kSMCResultBadCommand;
        return kIOReturnSuccess;
    }
    int count = 0;
    if (privileged_) {
        if (kern_return_t kr = selection_.keyCount(count)) return kr;
    } else {
        count = static_cast<int>(labels_.keys().size());
    }
    if (cmd == SMCCommand::readKeyInfo) {
        putLE32(output.data() + kSMCDataSizeOffset, 4);
        putLE32(output.data() + kSMCDataTypeOffset, typeCode("ui32"));
        return kIOReturnSuccess;
    }
    // "ui32" is big-endian.
    for (int i = 0; i < 4; ++i)
        output[kSMCBytesOffset + i] = static_cast<std::uint8_t>(unsigned(count) >> (8 * (3 - i)));
    return kIOReturnSuccess;
}

kern_return_t KeyIndex::keyAt(std::uint32_t index, SMCBlock& output) {
    std::string name;
    if (privileged_) {
        if (kern_return_t kr = selection_.nameAt(index, name)) return kr;
    } else {
        const std::vector<std::string> keys = labels_.keys();
        if (index < keys.size()) name = keys[index];
    }
    if (name.size() != 4) {
        output[kSMCResultOffset] = kSMCResultKeyNotFound;
        return kIOReturnSuccess;
    }
    putLE32(output.data() + kSMCKeyOffset, typeCode(name));
    return kIOReturnSuccess;
}

}  // namespace applesmc
