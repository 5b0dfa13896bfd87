#include "AppleSMCDriver.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "Codec.h"
#include "Writes.h"

using namespace applesmc;

namespace {

// Fans are F0 to F9 (one digit in a four-character key).
constexpr int kMaxFans = 10;

}  // namespace

AppleSMCDriver::AppleSMCDriver(AppleSMCDriverLocation where)
    : AppleSMCDriver(std::move(where), ::geteuid() == 0) {}

AppleSMCDriver::AppleSMCDriver(AppleSMCDriverLocation where, bool privileged, std::string lockPath,
                               std::string typesPath)
    : patched_(where.patched),
      privileged_(privileged),
      files_(where.directory, appleSMCHwmonPrefix(where.directory)),
      selection_(files_, std::move(lockPath), privileged),
      types_(std::move(typesPath), privileged),
      labels_(files_),
      view_(files_, types_, labels_),
      index_(selection_, labels_, privileged) {}

kern_return_t AppleSMCDriver::call(std::uint32_t selector, const SMCBlock& input,
                                   SMCBlock& output) {
    std::lock_guard<std::mutex> guard(lock_);
    output.fill(0);
    if (selector != kSMCStructMethodSelector) return kIOReturnUnsupported;
    if (privileged_ && !fanKeysShared_) shareFanKeys();
    const std::string key = keyName(le32(input.data() + kSMCKeyOffset));
    const std::uint8_t command = input[kSMCCommandOffset];
    if (command == static_cast<std::uint8_t>(SMCCommand::writeBytes)) return writeKey(key, input);
    if (command == static_cast<std::uint8_t>(SMCCommand::readIndex))
        return index_.keyAt(le32(input.data() + kSMCData32Offset), output);
    if (key == kSMCKeyCountKey) return index_.countKey(command, output);
    if (command != static_cast<std::uint8_t>(SMCCommand::readKeyInfo) &&
        command != static_cast<std::uint8_t>(SMCCommand::readBytes)) {
        output[kSMCResultOffset] = kSMCResultBadCommand;
        return kIOReturnSuccess;
    }
    KeyInfo info;
    if (kern_return_t kr = keyInfo(key, info)) return kr;
    if (info.size == 0) {
        output[kSMCResultOffset] = kSMCResultKeyNotFound;
        return kIOReturnSuccess;
    }
    if (command == static_cast<std::uint8_t>(SMCCommand::readKeyInfo)) {
        putLE32(output.data() + kSMCDataSizeOffset, info.size);
        putLE32(output.data() + kSMCDataTypeOffset, typeCode(info.type));
        return kIOReturnSuccess;
    }
    Bytes bytes;
    if (kern_return_t kr = readKey(key, info, bytes)) return kr;
    if (bytes.empty()) output[kSMCResultOffset] = kSMCResultKeyNotFound;
    std::copy_n(bytes.begin(), std::min(bytes.size(), kSMCMaxBytes),
                output.begin() + kSMCBytesOffset);
    return kIOReturnSuccess;
}

kern_return_t AppleSMCDriver::keyInfo(const std::string& key, KeyInfo& info) {
    if (auto it = infoCache_.find(key); it != infoCache_.end()) {
        info = it->second;
        return kIOReturnSuccess;
    }
    if (!privileged_) {
        Bytes bytes;
        if (kern_return_t kr = view_.value(key, info, bytes)) return kr;
        infoCache_.emplace(key, info);
        return kIOReturnSuccess;
    }
    if (kern_return_t kr = selection_.info(key, info)) return kr;
    types_.share(key, info);
    infoCache_.emplace(key, info);
    return kIOReturnSuccess;
}

kern_return_t AppleSMCDriver::readKey(const std::string& key, const KeyInfo& info, Bytes& bytes) {
    if (privileged_) return selection_.read(key, info, bytes);
    KeyInfo current;
    // An attribute that went away since its key info leaves no bytes: a missing key.
    return view_.value(key, current, bytes);
}

kern_return_t AppleSMCDriver::writeKey(const std::string& key, const SMCBlock& input) {
    if (!privileged_) return kIOReturnNotPrivileged;
    KeyInfo info;
    if (kern_return_t kr = keyInfo(key, info)) return kr;
    if (auto write = attributeWrite(key, info, input, files_, patched_))
        return writeAnswer(files_.write(write->file, write->text));
    // A write of the bytes the key already holds changes nothing, so it is answered as the
    // SMC answers it: handing back a fan whose mode key already says automatic succeeds.
    // Anything else would need a file the driver does not have.
    if (!comparableWrite(info, input)) return kIOReturnNotWritable;
    Bytes current;
    if (readKey(key, info, current) != kIOReturnSuccess || !holdsAlready(info, input, current))
        return kIOReturnNotWritable;
    return kIOReturnSuccess;
}

// A user's process reads each fan through its attributes, and the list tells it which of those
// keys exist and their types (float speeds, mode keys). A user may start before any root
// process looked them up, and caches what it found missing: root lists them all at once.
void AppleSMCDriver::shareFanKeys() {
    fanKeysShared_ = true;
    KeyInfo info;
    for (int fan = 1; fan <= kMaxFans && files_.exists(files_.fanFile(fan, "input")); ++fan) {
        for (const char* suffix : {"Md", "Ac", "Mn", "Mx", "Tg", "Sf", "ID"}) {
            const std::string key = "F" + std::to_string(fan - 1) + suffix;
            if (types_.listed().count(key) == 0 && keyInfo(key, info) != kIOReturnSuccess) return;
        }
    }
}
