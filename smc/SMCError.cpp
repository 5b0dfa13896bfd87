#include "SMCError.h"

#include <cstdio>

std::optional<SMCCommand> smcCommandFromRaw(std::uint8_t raw) {
    switch (raw) {
        case 5:
        case 6:
        case 8:
        case 9:
            return static_cast<SMCCommand>(raw);
        default:
            return std::nullopt;
    }
}

namespace {

// The code a service answers for a write it cannot make at all (IOKit's "not writable"),
// as the Linux driver does for keys it exposes no attribute for: root would not help.
constexpr std::int32_t kWriteUnsupported = static_cast<std::int32_t>(0xE00002CF);

// The 32-bit pattern of a kernel return code in lower-case hex, no leading zeros.
std::string hex(std::int32_t kr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(static_cast<std::uint32_t>(kr)));
    return buf;
}

}  // namespace

SMCError::SMCError(Kind kind, std::int32_t kr, SMCCommand cmd, std::string key, std::string type)
    : kind_(kind), kr_(kr), cmd_(cmd), key_(std::move(key)), type_(std::move(type)) {
    switch (kind_) {
        case Kind::openFailed:
            description_ = "IOServiceOpen 失败: 0x" + hex(kr_);
            break;
        case Kind::callFailed:
            description_ = "SMC 调用失败(cmd=" + std::to_string(static_cast<unsigned>(cmd_)) +
                           ", kr=0x" + hex(kr_) + ")";
            break;
        case Kind::keyNotFound:
            description_ = "key " + key_ + " 不存在";
            break;
        case Kind::badDataType:
            description_ = "key " + key_ + " dataType 异常: " + type_;
            break;
        case Kind::writeRejected:
            description_ =
                kWriteRejectedText + ("(kr=0x" + hex(kr_) + ")——") +
                (kr_ == kWriteUnsupported ? kWriteUnsupportedText + std::string("写入该键")
                                          : std::string("普通用户权限不足，需 root/特权 helper"));
            break;
        case Kind::serviceNotFound:
            description_ = "未找到 AppleSMC 服务";
            break;
        case Kind::minimumUnknown:
            description_ = "key " + key_ +
                           " 原始值未记录（启动时读不到且开机记录中没有），不抬高该风扇的最小转速";
            break;
        case Kind::restoreFailed:
            description_ = type_;
            break;
    }
}

SMCError SMCError::openFailed(std::int32_t kr) {
    return {Kind::openFailed, kr, SMCCommand::readBytes, {}, {}};
}
SMCError SMCError::callFailed(SMCCommand cmd, std::int32_t kr) {
    return {Kind::callFailed, kr, cmd, {}, {}};
}
SMCError SMCError::keyNotFound(std::string key) {
    return {Kind::keyNotFound, 0, SMCCommand::readBytes, std::move(key), {}};
}
SMCError SMCError::badDataType(std::string key, std::string type) {
    return {Kind::badDataType, 0, SMCCommand::readBytes, std::move(key), std::move(type)};
}
SMCError SMCError::writeRejected(std::int32_t kr) {
    return {Kind::writeRejected, kr, SMCCommand::writeBytes, {}, {}};
}
SMCError SMCError::serviceNotFound() {
    return {Kind::serviceNotFound, 0, SMCCommand::readBytes, {}, {}};
}
SMCError SMCError::minimumUnknown(std::string key) {
    return {Kind::minimumUnknown, 0, SMCCommand::writeBytes, std::move(key), {}};
}
SMCError SMCError::restoreFailed(const std::vector<std::pair<int, std::string>>& failures) {
    std::string fans;
    std::string reasons;
    for (const auto& [fan, description] : failures) {
        fans += (fans.empty() ? "" : "、") + std::to_string(fan);
        reasons += (reasons.empty() ? "" : "；") + description;
    }
    return {Kind::restoreFailed,
            0,
            SMCCommand::writeBytes,
            {},
            "风扇 " + fans + " 恢复自动失败: " + reasons};
}
