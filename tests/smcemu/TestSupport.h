// Helpers shared by the emulator tests: parameter blocks, machines on a hand-driven clock,
// temporary directories and a minimal SMC socket client.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Client.h"
#include "Machine.h"
#include "Profile.h"

namespace smcemu::test {

using Block = std::array<uint8_t, kBlockSize>;

// An input block as a client sends it: key code little-endian at 0, size at 28, command at
// 42, value bytes from 48.
inline Block request(const std::string& key, uint8_t command, uint32_t size = 0,
                     const std::vector<uint8_t>& data = {}) {
    Block in{};
    for (int i = 0; i < 4; ++i)
        in[i] = static_cast<uint8_t>(key[3 - i]);
    for (int i = 0; i < 4; ++i)
        in[28 + i] = static_cast<uint8_t>(size >> (8 * i));
    in[42] = command;
    for (size_t i = 0; i < data.size() && i < 32; ++i)
        in[48 + i] = data[i];
    return in;
}

inline uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline std::vector<uint8_t> bytesAt(const Block& out, size_t offset, size_t count) {
    return {out.begin() + static_cast<long>(offset),
            out.begin() + static_cast<long>(offset + count)};
}

// A machine whose clock only moves when the test says so.
struct ManualMachine {
    std::shared_ptr<double> realTime = std::make_shared<double>(100.0);
    std::unique_ptr<Machine> machine;

    explicit ManualMachine(const Profile& profile) {
        auto t = realTime;
        machine = std::make_unique<Machine>(profile, [t] { return *t; });
    }
    explicit ManualMachine(const std::string& text)
        : ManualMachine(parseProfile(text, "test.prof")) {}

    Machine* operator->() { return machine.get(); }
    void passSeconds(double s) { *realTime += s; }

    struct Result {
        int32_t kr;
        Block out;
    };
    Result call(const Block& in, bool privileged = true, uint32_t selector = 2) {
        Result r{};
        r.kr = machine->call(selector, in.data(), r.out.data(), privileged);
        return r;
    }
    // Writes `data` to `key` as root; returns the result byte.
    uint8_t write(const std::string& key, const std::vector<uint8_t>& data) {
        Result r = call(request(key, kCmdWrite, static_cast<uint32_t>(data.size()), data));
        EXPECT_EQ(r.kr, 0);
        return r.out[40];
    }
};

inline Profile shippedProfile(const std::string& name) {
    return loadProfile(std::string(SMCEMU_PROFILE_DIR) + "/" + name);
}

// A fresh directory under /tmp, removed at the end of the test. Readable by everyone so a
// process that dropped its privileges can reach sockets inside it.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/smcemu-test-XXXXXX";
        char* made = mkdtemp(pattern);
        if (made) path_ = made;
        if (!path_.empty()) std::filesystem::permissions(path_, std::filesystem::perms(0755));
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// One opened user client on an SMC socket.
class SmcClient {
  public:
    explicit SmcClient(const std::string& path) { fd_ = connectUnix(path, error_); }
    ~SmcClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

    // One call; no value when the connection is closed without a full reply.
    std::optional<std::pair<int32_t, Block>> call(const Block& in, uint32_t selector = 2) {
        uint8_t req[84];
        for (int i = 0; i < 4; ++i)
            req[i] = static_cast<uint8_t>(selector >> (8 * i));
        std::memcpy(req + 4, in.data(), 80);
        if (!sendAll(req, sizeof req)) return std::nullopt;
        uint8_t reply[84];
        size_t got = 0;
        while (got < sizeof reply) {
            ssize_t n = recv(fd_, reply + got, sizeof reply - got, 0);
            if (n <= 0) return std::nullopt;
            got += static_cast<size_t>(n);
        }
        Block out;
        std::memcpy(out.data(), reply + 4, 80);
        return std::make_pair(static_cast<int32_t>(le32(reply)), out);
    }
    bool sendAll(const void* data, size_t size) {
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            ssize_t n = send(fd_, p, size, MSG_NOSIGNAL);
            if (n <= 0) return false;
            p += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    // True when the server has closed the connection (end of stream or reset).
    bool closedByPeer() {
        char c;
        return recv(fd_, &c, 1, 0) <= 0;
    }
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace smcemu::test
