// The one place that talks to the System Management Controller: opens the AppleSMC
// user client and reads and writes four-character keys as raw bytes through the
// 80-byte parameter block.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "IOKit.h"
#include "NonCopyable.h"
#include "SMCBlock.h"
#include "SMCCommand.h"
#include "SMCError.h"

using SMCBytes = std::vector<std::uint8_t>;

class SMCConnection : NonCopyable {
  public:
    // Opens the service; raises serviceNotFound or openFailed.
    SMCConnection();
    ~SMCConnection();

    // Opens the service anew and closes the connection held so far, forgetting the key
    // information read through it (a driver's files can move across a sleep). On failure
    // raises as the constructor does and keeps the old connection.
    void reopen();

    // (dataSize, dataType); a key the SMC lacks reports size 0 and is cached like any other.
    std::pair<std::uint32_t, std::string> readKeyInfo(const std::string& key);
    // No value when the key's size is 0 or above 32.
    std::optional<SMCBytes> readBytes(const std::string& key);
    void writeBytes(const std::string& key, const SMCBytes& data);
    std::optional<SMCBytes> tryReadBytes(const std::string& key) noexcept;

    // The key index: how many keys the SMC has ("#KEY"), and the name of the key at a
    // position (0 to count - 1) in its order, sorted by name. keyCount raises keyNotFound
    // for "#KEY" when the SMC does not report it; keyAtIndex raises callFailed with
    // readIndex when the call fails and keyNotFound with the index when no key is there.
    std::uint32_t keyCount();
    std::string keyAtIndex(std::uint32_t index);

    // The four UTF-8 bytes read big-endian; none unless the string is exactly four bytes.
    static std::optional<std::uint32_t> keyCode(std::string_view from);
    // The code's bytes from most to least significant as ASCII, "????" when any is not.
    static std::string keyString(std::uint32_t from);

  private:
    static io_connect_t open();
    SMCBlock call(SMCCommand command, const std::string& key, std::uint32_t keyInfoSize,
                  std::uint32_t data32, const SMCBytes& data);
    SMCBlock callWithCode(SMCCommand command, std::uint32_t code, std::uint32_t keyInfoSize,
                          std::uint32_t data32, const SMCBytes& data);
    static std::uint32_t le32(const SMCBlock& block, std::size_t offset);

    io_connect_t conn = 0;
    bool opened = false;
    std::map<std::string, std::pair<std::uint32_t, std::string>> keyInfoCache;
};
