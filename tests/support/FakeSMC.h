// An in-process SMC service speaking the emulator's wire protocol on a private
// socket. It answers from a small key table (and its index, in key order) and records
// every block it receives, so tests can check the exact bytes the hardware layer sends.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeSMC {
  public:
    using Block = std::array<std::uint8_t, 80>;
    struct Key {
        std::string type;
        std::vector<std::uint8_t> bytes;
        std::uint32_t reportedSize = 0;  // 0 means bytes.size()
    };

    FakeSMC();  // starts serving and points SMCEMU_SOCKET at itself
    ~FakeSMC();

    void addKey(const std::string& key, const std::string& type, std::vector<std::uint8_t> bytes,
                std::uint32_t reportedSize = 0);
    // Calls with this command byte on this key fail with kr.
    void failKey(const std::string& key, std::uint8_t command, std::int32_t kr);

    std::vector<Block> blocks();  // every input block received so far
    void clearBlocks();
    std::vector<std::uint8_t> value(const std::string& key);

  private:
    void serve();
    Block handle(const Block& in, std::int32_t& kr);

    std::string dir_;
    std::string path_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::thread thread_;
    std::mutex lock_;
    std::map<std::string, Key> keys_;
    std::map<std::pair<std::string, std::uint8_t>, std::int32_t> failures_;
    std::vector<Block> blocks_;
};
