#include "SMCConnection.h"

#include <algorithm>

#include "Unicode.h"

namespace {

void putLE32(SMCBlock& block, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        block[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

io_connect_t SMCConnection::open() {
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching("AppleSMC"),
                                     &iterator) != 0) {
        throw SMCError::serviceNotFound();
    }
    io_service_t service = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    if (service == 0) throw SMCError::serviceNotFound();

    io_connect_t connection = 0;
    kern_return_t kr = IOServiceOpen(service, mach_task_self_, 0, &connection);
    IOObjectRelease(service);
    if (kr != 0) throw SMCError::openFailed(kr);
    return connection;
}

SMCConnection::SMCConnection() : conn(open()), opened(true) {}

void SMCConnection::reopen() {
    const io_connect_t fresh = open();
    if (opened) IOServiceClose(conn);
    conn = fresh;
    opened = true;
    keyInfoCache.clear();
}

SMCConnection::~SMCConnection() {
    if (opened) IOServiceClose(conn);
}

std::optional<std::uint32_t> SMCConnection::keyCode(std::string_view from) {
    if (from.size() != 4 || !unicode::isValidUTF8(from)) return std::nullopt;
    std::uint32_t code = 0;
    for (char c : from)
        code = (code << 8) | static_cast<std::uint8_t>(c);
    return code;
}

std::string SMCConnection::keyString(std::uint32_t from) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        auto byte = static_cast<std::uint8_t>(from >> shift);
        if (byte >= 0x80) return "????";
        s.push_back(static_cast<char>(byte));
    }
    return s;
}

std::uint32_t SMCConnection::le32(const SMCBlock& block, std::size_t offset) {
    return std::uint32_t(block[offset]) | std::uint32_t(block[offset + 1]) << 8 |
           std::uint32_t(block[offset + 2]) << 16 | std::uint32_t(block[offset + 3]) << 24;
}

SMCBlock SMCConnection::call(SMCCommand command, const std::string& key, std::uint32_t keyInfoSize,
                             std::uint32_t data32, const SMCBytes& data) {
    auto code = keyCode(key);
    if (!code) throw SMCError::keyNotFound(key);
    return callWithCode(command, *code, keyInfoSize, data32, data);
}

SMCBlock SMCConnection::callWithCode(SMCCommand command, std::uint32_t code,
                                     std::uint32_t keyInfoSize, std::uint32_t data32,
                                     const SMCBytes& data) {
    SMCBlock input{};
    SMCBlock output{};
    putLE32(input, kSMCKeyOffset, code);
    putLE32(input, kSMCDataSizeOffset, keyInfoSize);
    putLE32(input, kSMCData32Offset, data32);
    std::size_t n = std::min(kSMCMaxBytes, data.size());
    std::copy_n(data.begin(), n, input.begin() + kSMCBytesOffset);
    input[kSMCCommandOffset] = static_cast<std::uint8_t>(command);

    std::size_t outputSize = output.size();
    kern_return_t kr = IOConnectCallStructMethod(conn, kSMCStructMethodSelector, input.data(),
                                                 input.size(), output.data(), &outputSize);
    if (kr != 0) {
        if (command == SMCCommand::writeBytes) throw SMCError::writeRejected(kr);
        throw SMCError::callFailed(command, kr);
    }
    return output;
}

std::pair<std::uint32_t, std::string> SMCConnection::readKeyInfo(const std::string& key) {
    if (auto cached = keyInfoCache.find(key); cached != keyInfoCache.end()) return cached->second;
    SMCBlock output = call(SMCCommand::readKeyInfo, key, 0, 0, {});
    std::pair<std::uint32_t, std::string> info{le32(output, kSMCDataSizeOffset),
                                               keyString(le32(output, kSMCDataTypeOffset))};
    keyInfoCache.emplace(key, info);
    return info;
}

std::optional<SMCBytes> SMCConnection::readBytes(const std::string& key) {
    auto [dataSize, dataType] = readKeyInfo(key);
    if (dataSize == 0) return std::nullopt;
    SMCBlock output = call(SMCCommand::readBytes, key, dataSize, 0, {});
    if (dataSize > kSMCMaxBytes) return std::nullopt;
    auto first = output.begin() + kSMCBytesOffset;
    return SMCBytes(first, first + dataSize);
}

void SMCConnection::writeBytes(const std::string& key, const SMCBytes& data) {
    auto [dataSize, dataType] = readKeyInfo(key);
    if (dataSize == 0) throw SMCError::keyNotFound(key);
    call(SMCCommand::writeBytes, key, dataSize, 0, data);
}

std::optional<SMCBytes> SMCConnection::tryReadBytes(const std::string& key) noexcept {
    try {
        return readBytes(key);
    } catch (...) {
        return std::nullopt;
    }
}

std::uint32_t SMCConnection::keyCount() {
    static const std::string key = "#KEY";
    const auto bytes = readBytes(key);
    if (!bytes || bytes->size() < 4) throw SMCError::keyNotFound(key);
    std::uint32_t count = 0;
    for (int i = 0; i < 4; ++i)
        count = (count << 8) | (*bytes)[i];  // ui32: big-endian
    return count;
}

std::string SMCConnection::keyAtIndex(std::uint32_t index) {
    // The index travels in the 32-bit field; the answer is the key's code in the key field.
    SMCBlock output = callWithCode(SMCCommand::readIndex, 0, 0, index, {});
    if (output[kSMCResultOffset] != 0) throw SMCError::keyNotFound("#" + std::to_string(index));
    return keyString(le32(output, kSMCKeyOffset));
}
