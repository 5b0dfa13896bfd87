#include "EmulatorBackend.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "EmulatorSocket.h"

namespace emulator {

namespace {

constexpr std::size_t kMessageSize = 4 + kSMCBlockSize;

bool sendAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool recvAll(int fd, unsigned char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void putLE32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t getLE32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

}  // namespace

EmulatorBackend::EmulatorBackend(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

EmulatorBackend::~EmulatorBackend() {
    if (fd_ >= 0) ::close(fd_);
}

kern_return_t EmulatorBackend::call(std::uint32_t selector, const SMCBlock& input,
                                    SMCBlock& output) {
    std::lock_guard<std::mutex> guard(lock_);
    if (fd_ < 0) fd_ = connectService(path_);
    if (fd_ < 0) return kIOReturnNotResponding;
    unsigned char request[kMessageSize];
    putLE32(request, selector);
    std::memcpy(request + 4, input.data(), kSMCBlockSize);
    unsigned char reply[kMessageSize];
    if (!sendAll(fd_, request, sizeof request) || !recvAll(fd_, reply, sizeof reply)) {
        ::close(fd_);
        fd_ = -1;
        return kIOReturnNotResponding;
    }
    std::memcpy(output.data(), reply + 4, kSMCBlockSize);
    return static_cast<kern_return_t>(getLE32(reply));
}

bool EmulatorService::present() const {
    const int fd = connectService(path_);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::unique_ptr<SMCBackend> EmulatorService::open() const {
    const int fd = connectService(path_);
    if (fd < 0) return nullptr;
    return std::make_unique<EmulatorBackend>(path_, fd);
}

}  // namespace emulator
