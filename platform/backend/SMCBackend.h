// What serves the "AppleSMC" service on a machine without IOKit, one implementation a folder:
// the SMC emulator (emulator/) and the Linux applesmc driver (applesmc/). The IOKit stand-in
// matches the service with findSMCService() and gives each opened user client a backend of
// its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "KernReturn.h"
#include "SMCBlock.h"

// One opened user client of the service.
class SMCBackend {
  public:
    virtual ~SMCBackend() = default;
    // One call of the user client's method `selector`: the input block in, the output block
    // out, and the kernel's return code.
    virtual kern_return_t call(std::uint32_t selector, const SMCBlock& input, SMCBlock& output) = 0;
};

// Which kind of service serves the SMC, for what the programs report of it.
enum class SMCServiceKind { none, emulator, driver };

// The service a match found.
class SMCService {
  public:
    virtual ~SMCService() = default;
    virtual SMCServiceKind kind() const = 0;
    // The emulator's socket or the driver's directory.
    virtual std::string address() const = 0;
    // Whether a match finds it now: the driver with its files, the emulator when it answers
    // (and is one this process may trust).
    virtual bool present() const = 0;
    // A new user client; none when the service does not answer.
    virtual std::unique_ptr<SMCBackend> open() const = 0;
};

// The emulator when its socket is named (tests and the demo, also on a machine that has the
// driver); otherwise the driver where the kernel put it; none with neither.
std::shared_ptr<const SMCService> findSMCService();
