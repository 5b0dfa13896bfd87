// The emulator backend: the "AppleSMC" service is the SMC emulator, reached over its
// Unix-domain socket (EmulatorSocket.h). One opened user client is one connection; one call is
// one request (selector, 80-byte block, selector little-endian first) and one reply (return
// code, 80-byte block).
#pragma once

#include <mutex>
#include <string>

#include "NonCopyable.h"
#include "SMCBackend.h"

namespace emulator {

class EmulatorBackend : public SMCBackend, NonCopyable {
  public:
    // Takes over `fd`, a connection to the emulator at `path`.
    EmulatorBackend(std::string path, int fd);
    ~EmulatorBackend() override;

    // A call that fails on the transport answers kIOReturnNotResponding and closes the
    // connection, since the stream may hold a late or partial reply; the next call connects
    // again, as the service itself is still there.
    kern_return_t call(std::uint32_t selector, const SMCBlock& input, SMCBlock& output) override;

  private:
    std::string path_;
    std::mutex lock_;
    int fd_;
};

class EmulatorService : public SMCService {
  public:
    explicit EmulatorService(std::string path) : path_(std::move(path)) {}
    SMCServiceKind kind() const override { return SMCServiceKind::emulator; }
    std::string address() const override { return path_; }
    bool present() const override;
    std::unique_ptr<SMCBackend> open() const override;

  private:
    std::string path_;
};

}  // namespace emulator
