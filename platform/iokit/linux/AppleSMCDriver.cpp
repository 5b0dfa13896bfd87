#include "AppleSMCDriver.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "SMCBlock.h"

namespace {

constexpr std::uint8_t kCommandRead = 5;
constexpr std::uint8_t kCommandWrite = 6;
constexpr std::uint8_t kCommandReadIndex = 8;
constexpr const char* kKeyCountKey = "#KEY";
constexpr std::uint8_t kCommandKeyInfo = 9;
constexpr std::uint8_t kResultKeyNotFound = 0x84;
constexpr std::uint8_t kResultBadCommand = 0x89;

// How often an access spoilt by another process's selection is made before the call fails.
constexpr int kSelectAttempts = 8;
// How long the lock of the selection is waited for: 2 s in steps of 0.2 ms.
constexpr int kLockWaitPolls = 10000;
constexpr useconds_t kLockPollMicroseconds = 200;
// Fans are F0 to F9 (one digit in a four-character key); sensors are numbered from 1.
constexpr int kMaxFans = 10;
constexpr int kMaxSensors = 256;
// The list of key types stays small: a few dozen keys are ever looked up.
constexpr off_t kMaxTypesBytes = 64 * 1024;

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

void putLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The four name bytes of a key code, most significant first.
std::string keyName(std::uint32_t code) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<char>(code >> shift));
    return s;
}

// A type name as a code; a name the driver shows shorter than four characters is padded
// with the spaces it stands for.
std::uint32_t typeCode(std::string type) {
    type.resize(4, ' ');
    std::uint32_t code = 0;
    for (char c : type)
        code = (code << 8) | static_cast<std::uint8_t>(c);
    return code;
}

// An attribute's text without its line feed. Names keep their trailing spaces ("FS! ").
std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::optional<long long> decimal(const std::string& text) {
    const std::string line = firstLine(text);
    if (line.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(line.c_str(), &end, 10);
    if (errno != 0 || end == line.c_str() || *end != '\0') return std::nullopt;
    return value;
}

kern_return_t fromErrno(int err) {
    return (err == EACCES || err == EPERM) ? kIOReturnNotPrivileged : kIOReturnError;
}

// The driver's fan number (1-based) of a key "F{i}" + suffix, or 0 for any other key.
int fanNumber(const std::string& key, const char* suffix) {
    if (key.size() != 4 || key[0] != 'F' || key[1] < '0' || key[1] > '9') return 0;
    return key.compare(2, 2, suffix) == 0 ? key[1] - '0' + 1 : 0;
}

std::vector<std::uint8_t> bigEndian16(long long value) {
    const auto v = static_cast<std::uint16_t>(value);
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// Four printable characters: a key or type name that fits a line of the list of types.
bool listable(const std::string& name) {
    return name.size() == 4 &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= ' ' && c <= '~'; });
}

// A whole rpm as the SMC holds a fan speed of `type`; empty for a type no speed has.
std::vector<std::uint8_t> speedBytes(const std::string& type, std::uint32_t size, long long rpm) {
    if (type == "fpe2" && size == 2) return bigEndian16(std::clamp<long long>(rpm, 0, 0x3FFF) * 4);
    // The driver decodes a two-byte speed as fpe2 whatever its type (F{i}Sf is ui16 on some
    // machines): the attribute shows a quarter of the raw value.
    if (type == "ui16" && size == 2) return bigEndian16(std::clamp<long long>(rpm * 4, 0, 0xFFFF));
    if (type == "flt " && size == 4) {
        // A little-endian float, as the SMC of an Intel Mac keeps it.
        const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(rpm));
        return {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
    }
    return {};
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// A little-endian float's value as whole rpm (truncated, as the driver takes it); none for
// a value no speed has.
std::optional<long long> floatRpm(const std::uint8_t* p) {
    const float value = std::bit_cast<float>(le32(p));
    if (!std::isfinite(value) || value < 0 || value >= 4294967296.0F) return std::nullopt;
    return static_cast<long long>(value);
}

}  // namespace

std::optional<AppleSMCDriverLocation> findAppleSMCDriver() {
    // The files decide, not the directory: a device without its driver bound has none.
    if (exists(std::string(APPLESMC_PLATFORM_DIR) + "/key_count"))
        return AppleSMCDriverLocation(APPLESMC_PLATFORM_DIR, false);
    if (exists(std::string(APPLESMC_ACPI_DIR) + "/key_count"))
        return AppleSMCDriverLocation(APPLESMC_ACPI_DIR, true);
    return std::nullopt;
}

AppleSMCDriver::AppleSMCDriver(AppleSMCDriverLocation where)
    : AppleSMCDriver(std::move(where), ::geteuid() == 0) {}

AppleSMCDriver::AppleSMCDriver(AppleSMCDriverLocation where, bool privileged, std::string lockPath,
                               std::string typesPath)
    : root_(std::move(where.directory)),
      patched_(where.patched),
      privileged_(privileged),
      lockPath_(std::move(lockPath)),
      typesPath_(std::move(typesPath)) {
    // Fan and temperature files in the device's directory, or else in its hwmon device.
    if (exists(root_ + "/fan1_input") || exists(root_ + "/temp1_input")) return;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root_ + "/hwmon", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("hwmon", 0) == 0 && (exists(entry.path().string() + "/fan1_input") ||
                                            exists(entry.path().string() + "/temp1_input"))) {
            hwmon_ = "hwmon/" + name + "/";
            return;
        }
    }
}

std::string AppleSMCDriver::fanFile(int fan, const std::string& attribute) const {
    const std::string n = std::to_string(fan);
    if (hwmon_.empty()) return "fan" + n + "_" + attribute;
    if (attribute == "manual") return hwmon_ + "pwm" + n + "_enable";
    return hwmon_ + "fan" + n + "_" + (attribute == "output" ? "target" : attribute);
}

AppleSMCDriver::~AppleSMCDriver() {
    if (lockFd_ >= 0) ::close(lockFd_);
}

void AppleSMCDriver::makeParent(const std::string& path) const {
    // Under a directory only root can write (/run), so nobody else can have made or replaced
    // it; the files in it are still opened without following links and checked. Its mode is
    // set outright, so that a strict umask cannot close it to the user's processes.
    const std::size_t slash = path.rfind('/');
    if (!privileged_ || slash == std::string::npos || slash == 0) return;
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0755) == 0) ::chmod(dir.c_str(), 0755);
}

bool AppleSMCDriver::lockIndex() {
    if (lockFd_ < 0) {
        makeParent(lockPath_);
        lockFd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (lockFd_ < 0) return false;  // the checks of each access still hold
    }
    // Only root holds it, for one access; one stuck in the driver is not waited for long.
    for (int waited = 0; waited < kLockWaitPolls; ++waited) {
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        ::usleep(kLockPollMicroseconds);
    }
    return false;
}

void AppleSMCDriver::unlockIndex() {
    ::flock(lockFd_, LOCK_UN);
}

kern_return_t AppleSMCDriver::call(const std::uint8_t* input, std::uint8_t* output) {
    std::lock_guard<std::mutex> guard(lock_);
    std::memset(output, 0, kSMCBlockSize);
    if (privileged_ && !fanKeysShared_) shareFanKeys();
    const std::string key = keyName(le32(input + kSMCKeyOffset));
    const std::uint8_t command = input[kSMCCommandOffset];
    if (command == kCommandWrite) return writeKey(key, input);
    if (command == kCommandReadIndex) return keyAtIndex(le32(input + kSMCData32Offset), output);
    if (key == kKeyCountKey) return keyCountKey(command, output);
    if (command != kCommandKeyInfo && command != kCommandRead) {
        output[kSMCResultOffset] = kResultBadCommand;
        return kIOReturnSuccess;
    }
    KeyInfo info;
    if (kern_return_t kr = keyInfo(key, info)) return kr;
    if (info.size == 0) {
        output[kSMCResultOffset] = kResultKeyNotFound;
        return kIOReturnSuccess;
    }
    if (command == kCommandKeyInfo) {
        putLE32(output + kSMCDataSizeOffset, info.size);
        putLE32(output + kSMCDataTypeOffset, typeCode(info.type));
        return kIOReturnSuccess;
    }
    std::vector<std::uint8_t> bytes;
    if (kern_return_t kr = readKey(key, info, bytes)) return kr;
    if (bytes.empty()) output[kSMCResultOffset] = kResultKeyNotFound;
    std::memcpy(output + kSMCBytesOffset, bytes.data(), std::min(bytes.size(), kSMCMaxBytes));
    return kIOReturnSuccess;
}

kern_return_t AppleSMCDriver::keyInfo(const std::string& key, KeyInfo& info) {
    if (auto it = infoCache_.find(key); it != infoCache_.end()) {
        info = it->second;
        return kIOReturnSuccess;
    }
    if (!privileged_) {
        std::vector<std::uint8_t> bytes;
        if (kern_return_t kr = attributeValue(key, info, bytes)) return kr;
        infoCache_.emplace(key, info);
        return kIOReturnSuccess;
    }
    int index = -1;
    if (kern_return_t kr = indexOf(key, index)) return kr;
    info = {};
    if (index >= 0) {
        std::string type;
        std::string length;
        kern_return_t kr = atIndex(index, &key, [&] {
            int err = readFile("key_at_index_type", type);
            return err != 0 ? err : readFile("key_at_index_data_length", length);
        });
        if (kr != kIOReturnSuccess) return kr;
        const auto size = decimal(length);
        if (!size || *size <= 0 || *size > 0xFFFF) return kIOReturnError;
        info.size = static_cast<std::uint32_t>(*size);
        info.type = firstLine(type);
        info.type.resize(4, ' ');
    }
    shareType(key, info);
    infoCache_.emplace(key, info);
    return kIOReturnSuccess;
}

kern_return_t AppleSMCDriver::readKey(const std::string& key, const KeyInfo& info,
                                      std::vector<std::uint8_t>& bytes) {
    if (!privileged_) {
        KeyInfo current;
        // An attribute that went away since its key info leaves no bytes: a missing key.
        return attributeValue(key, current, bytes);
    }
    std::string data;
    kern_return_t kr = atIndex(indexCache_.at(key), &key, [&] {
        int err = readFile("key_at_index_data", data, info.size + 1);
        // Another key's bytes, if the selection moved before the read, may differ in size.
        return err != 0 ? err : (data.size() == info.size ? 0 : -1);
    });
    if (kr != kIOReturnSuccess) return kr;
    bytes.assign(data.begin(), data.end());
    return kIOReturnSuccess;
}

kern_return_t AppleSMCDriver::writeKey(const std::string& key, const std::uint8_t* input) {
    if (!privileged_) return kIOReturnNotPrivileged;
    KeyInfo info;
    if (kern_return_t kr = keyInfo(key, info)) return kr;
    std::string file;
    std::string text;
    if (!writableAttribute(key, info, input, file, text)) return unwritable(key, info, input);
    switch (writeFile(file, text)) {
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

bool AppleSMCDriver::writableAttribute(const std::string& key, const KeyInfo& info,
                                       const std::uint8_t* input, std::string& file,
                                       std::string& text) const {
    if (info.size == 0 || le32(input + kSMCDataSizeOffset) != info.size) return false;
    const std::uint8_t* bytes = input + kSMCBytesOffset;
    // The patched driver writes the mode byte itself (value & 1): 0 and 1 go through as
    // they are. The mainline driver's manual file sets a bit of "FS! " instead.
    if (const int fan = fanNumber(key, "Md")) {
        if (!patched_ || !hwmon_.empty() || info.size != 1 || bytes[0] > 1) return false;
        file = fanFile(fan, "manual");
        text = std::to_string(bytes[0]) + "\n";
        return true;
    }
    const int minimum = fanNumber(key, "Mn");
    const int target = fanNumber(key, "Tg");
    if (minimum == 0 && target == 0) return false;
    // A speed goes in whole rpm, encoded by the driver in the key's own type: fpe2 on every
    // driver (unsigned 14.2 fixed point, so the fraction is lost), "flt " only on the
    // patched one; the mainline driver would write a float key as fpe2.
    std::optional<long long> rpm;
    if (info.type == "fpe2" && info.size == 2)
        rpm = (unsigned(bytes[0]) << 8 | bytes[1]) >> 2;
    else if (info.type == "flt " && info.size == 4 && patched_)
        rpm = floatRpm(bytes);
    if (!rpm) return false;
    file = minimum != 0 ? fanFile(minimum, "min") : fanFile(target, "output");
    text = std::to_string(*rpm) + "\n";
    return true;
}

kern_return_t AppleSMCDriver::unwritable(const std::string& key, const KeyInfo& info,
                                         const std::uint8_t* input) {
    // A write of the bytes the key already holds changes nothing, so it is answered as the
    // SMC answers it: handing back a fan whose mode key already says automatic succeeds.
    // Anything else would need a file the driver does not have.
    if (info.size == 0 || info.size > kSMCMaxBytes || le32(input + kSMCDataSizeOffset) != info.size)
        return kIOReturnNotWritable;
    std::vector<std::uint8_t> current;
    if (readKey(key, info, current) != kIOReturnSuccess || current.size() != info.size ||
        !std::equal(current.begin(), current.end(), input + kSMCBytesOffset))
        return kIOReturnNotWritable;
    return kIOReturnSuccess;
}

kern_return_t AppleSMCDriver::keyCount(int& count) {
    if (!count_) {
        std::string text;
        if (int err = readFile("key_count", text)) return fromErrno(err);
        const auto value = decimal(text);
        if (!value || *value < 0 || *value > 0xFFFF) return kIOReturnError;
        count_ = static_cast<int>(*value);
    }
    count = *count_;
    return kIOReturnSuccess;
}

kern_return_t AppleSMCDriver::indexOf(const std::string& key, int& index) {
    if (auto it = indexCache_.find(key); it != indexCache_.end()) {
        index = it->second;
        return kIOReturnSuccess;
    }
    int count = 0;
    if (kern_return_t kr = keyCount(count)) return kr;
    // The SMC keeps its keys sorted by their four bytes, which is how strings compare.
    int lo = 0;
    int hi = count - 1;
    while (lo <= hi) {
        const int mid = lo + (hi - lo) / 2;
        std::string name;
        kern_return_t kr = atIndex(mid, nullptr, [&] {
            int err = readFile("key_at_index_name", name);
            name = firstLine(name);
            return err;
        });
        if (kr != kIOReturnSuccess) return kr;
        indexCache_.emplace(name, mid);
        if (name == key) {
            index = mid;
            return kIOReturnSuccess;
        }
        if (name < key)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    index = -1;
    return kIOReturnSuccess;
}

kern_return_t AppleSMCDriver::atIndex(int index, const std::string* expectedName,
                                      const std::function<int()>& body) {
    const bool locked = lockIndex();
    const kern_return_t kr = selectAndCheck(index, expectedName, body);
    if (locked) unlockIndex();
    return kr;
}

kern_return_t AppleSMCDriver::selectAndCheck(int index, const std::string* expectedName,
                                             const std::function<int()>& body) {
    const std::string selection = std::to_string(index) + "\n";
    for (int attempt = 0; attempt < kSelectAttempts; ++attempt) {
        // Past the first retry the other process is given a moment to finish its access.
        if (attempt > 1) ::usleep(static_cast<useconds_t>(attempt) * 500);
        if (int err = writeFile("key_at_index", selection)) return fromErrno(err);
        const int err = body();
        if (err > 0) return fromErrno(err);
        if (err < 0) continue;
        // What was read belongs to the index only if the selection is still that index
        // and still names the key: another process may have selected in between.
        std::string text;
        if (expectedName) {
            if (int e = readFile("key_at_index_name", text)) return fromErrno(e);
            if (firstLine(text) != *expectedName) continue;
        }
        if (int e = readFile("key_at_index", text)) return fromErrno(e);
        if (decimal(text) == index) return kIOReturnSuccess;
    }
    return kIOReturnBusy;
}

kern_return_t AppleSMCDriver::attributeValue(const std::string& key, KeyInfo& info,
                                             std::vector<std::uint8_t>& bytes) {
    info = {};
    bytes.clear();
    const auto& listed = sharedTypes();
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
        const int err = readFile(file, text);
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
        if (value && !hwmon_.empty()) value = *value == 1 ? 1 : 0;
        return value;
    };
    // The value as found, unless root listed the key with a type it cannot have.
    const auto found = [&](KeyInfo is, std::vector<std::uint8_t> value) {
        if (known && known->type != is.type) return kIOReturnSuccess;
        info = std::move(is);
        bytes = std::move(value);
        return kIOReturnSuccess;
    };

    if (key == "FNum") {
        int fans = 0;
        while (fans < kMaxFans && read(fanFile(fans + 1, "input")))
            ++fans;
        if (kr != kIOReturnSuccess) return kr;
        return found({1, "ui8 "}, {static_cast<std::uint8_t>(fans)});
    }
    if (key == "FS! " && !modeKeys) {
        long long bits = 0;
        int fans = 0;
        for (; fans < kMaxFans && read(fanFile(fans + 1, "manual")); ++fans) {
            const auto bit = manual();
            if (!bit) return kr;
            if (*bit != 0) bits |= 1LL << fans;
        }
        if (kr != kIOReturnSuccess || fans == 0) return kr;
        return found({2, "ui16"}, bigEndian16(bits));
    }
    if (const int fan = fanNumber(key, "Md"); fan != 0 && modeKeys && known && known->size == 1) {
        if (!read(fanFile(fan, "manual"))) return kr;
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
            if (!read(fanFile(fan, attribute))) return kr;
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
        if (!read(fanFile(fan, "label"))) return kr;
        const std::string name = firstLine(text).substr(0, kSMCMaxBytes - 4);
        std::vector<std::uint8_t> record(4, 0);
        record.insert(record.end(), name.begin(), name.end());
        // Root's list knows the record's size; the driver's text lost its padding.
        if (known && known->size >= 4 && known->size <= kSMCMaxBytes) record.resize(known->size, 0);
        const auto size = static_cast<std::uint32_t>(record.size());
        return found({size, "{fds"}, std::move(record));
    }
    if (const auto file = temperatureAttribute(key)) {
        if (!read(*file)) return kr;
        const auto millidegrees = number();
        if (!millidegrees) return kr;
        // sp78: signed 8.8 fixed point.
        const long long v = std::llround(static_cast<double>(*millidegrees) * 256.0 / 1000.0);
        return found({2, "sp78"}, bigEndian16(std::clamp<long long>(v, -0x8000, 0x7FFF)));
    }
    return kIOReturnSuccess;
}

std::map<std::string, AppleSMCDriver::KeyInfo>& AppleSMCDriver::sharedTypes() {
    if (sharedTypes_) return *sharedTypes_;
    sharedTypes_.emplace();
    const int fd = ::open(typesPath_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return *sharedTypes_;
    // Only root's own list counts: one anybody else could have written says nothing.
    struct stat st;
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
        (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        char buf[4096];
        ssize_t n;
        while (static_cast<off_t>(text.size()) < kMaxTypesBytes &&
               ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
            if (n > 0) text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    // "NAME TYPE SIZE" lines; a line of any other form, or a torn last one, is skipped.
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        if (line.size() < 11 || line[4] != ' ' || line[9] != ' ') continue;
        const auto size = decimal(line.substr(10));
        if (!size || *size < 0 || *size > 0xFFFF) continue;
        sharedTypes_->emplace(line.substr(0, 4),
                              KeyInfo{static_cast<std::uint32_t>(*size), line.substr(5, 4)});
    }
    return *sharedTypes_;
}

void AppleSMCDriver::shareType(const std::string& key, const KeyInfo& info) {
    auto& listed = sharedTypes();
    const std::string type = info.size != 0 ? info.type : "----";
    if (listed.count(key) != 0 || !listable(key) || !listable(type)) return;
    listed.emplace(key, info);
    makeParent(typesPath_);
    const int fd =
        ::open(typesPath_.c_str(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return;  // users then see the mainline driver's forms
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
        st.st_size < kMaxTypesBytes) {
        ::fchmod(fd, 0644);  // readable by every user, whatever the umask
        // One write per line: lines appended by several root processes never interleave.
        const std::string line = key + " " + type + " " + std::to_string(info.size) + "\n";
        ssize_t n;
        do {
            n = ::write(fd, line.data(), line.size());
        } while (n < 0 && errno == EINTR);
    }
    ::close(fd);
}

// A user's process reads each fan through its attributes, and the list tells it which of those
// keys exist and their types (float speeds, mode keys). A user may start before any root
// process looked them up, and caches what it found missing: root lists them all at once.
void AppleSMCDriver::shareFanKeys() {
    fanKeysShared_ = true;
    KeyInfo info;
    for (int fan = 1; fan <= kMaxFans && exists(root_ + "/" + fanFile(fan, "input")); ++fan) {
        for (const char* suffix : {"Md", "Ac", "Mn", "Mx", "Tg", "Sf", "ID"}) {
            const std::string key = "F" + std::to_string(fan - 1) + suffix;
            if (sharedTypes().count(key) == 0 && keyInfo(key, info) != kIOReturnSuccess) return;
        }
    }
}

std::optional<std::string> AppleSMCDriver::temperatureAttribute(const std::string& key) {
    if (!temperatureLabels_) {
        // temp{N}_label names the key of sensor N; the labels are read once.
        temperatureLabels_.emplace();
        std::string text;
        for (int n = 1; n <= kMaxSensors; ++n) {
            const std::string prefix = hwmon_ + "temp" + std::to_string(n);
            if (readFile(prefix + "_label", text) != 0) break;
            temperatureLabels_->emplace(firstLine(text), prefix + "_input");
        }
    }
    auto it = temperatureLabels_->find(key);
    if (it == temperatureLabels_->end()) return std::nullopt;
    return it->second;
}

int AppleSMCDriver::openFile(const std::string& name, int flags) const {
    int fd;
    do {
        fd = ::open((root_ + "/" + name).c_str(), flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int AppleSMCDriver::readFile(const std::string& name, std::string& text, std::size_t limit) {
    text.clear();
    int err = 0;
    const int fd = openFile(name, O_RDONLY);
    if (fd < 0) {
        err = errno;
    } else {
        char buf[256];
        while (text.size() < limit) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) err = errno;
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
    }
    if (hook_) hook_(name, false);
    return err;
}

int AppleSMCDriver::writeFile(const std::string& name, const std::string& text) {
    int err = 0;
    const int fd = openFile(name, O_WRONLY);
    if (fd < 0) {
        err = errno;
    } else {
        // An attribute takes one write whole; a short one is a failure.
        ssize_t n;
        do {
            n = ::write(fd, text.data(), text.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            err = errno;
        else if (static_cast<std::size_t>(n) != text.size())
            err = EIO;
        ::close(fd);
    }
    if (hook_) hook_(name, true);
    return err;
}
