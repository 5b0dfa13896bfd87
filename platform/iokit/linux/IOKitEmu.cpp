#include "IOKitEmu.h"

#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "AppleSMCDriver.h"
#include "EmulatorClient.h"
#include "SMCBlock.h"

mach_port_t mach_task_self_ = 1;

struct IOEmuMatching {
    std::string serviceClass;
};

namespace {

using Kind = IOEmuBackend::Kind;

constexpr std::uint32_t kSelectorStructMethod = 2;

// The backend a match chose, with what opening it needs.
struct Backend {
    Kind kind = Kind::none;
    std::optional<AppleSMCDriverLocation> driver;  // the driver's directory and kind
};

struct Iterator {
    std::optional<Backend> service;  // the AppleSMC service not yet handed out
};
struct Service {
    Backend backend;
};
struct Connection {
    Kind kind;
    int fd = -1;                             // emulator: the socket
    std::shared_ptr<AppleSMCDriver> driver;  // driver: the opened user client
};
using Object = std::variant<Iterator, Service, Connection>;

std::mutex gLock;
std::map<io_object_t, Object> gObjects;
io_object_t gNextHandle = 1;
std::optional<Backend> gMatched;

io_object_t addObject(Object object) {
    std::lock_guard<std::mutex> guard(gLock);
    io_object_t handle = gNextHandle++;
    if (gNextHandle == 0) gNextHandle = 1;
    gObjects.emplace(handle, std::move(object));
    return handle;
}

// The emulator when its variable names it (tests and the demo, also on a machine that has
// the driver); otherwise the driver where the kernel put it.
Backend chooseBackend() {
    if (emulator::socketConfigured()) return {Kind::emulator, std::nullopt};
    if (auto where = findAppleSMCDriver()) return {Kind::driver, std::move(where)};
    return {};
}

}  // namespace

CFMutableDictionaryRef IOServiceMatching(const char* name) {
    if (name == nullptr) return nullptr;
    return new IOEmuMatching{name};
}

kern_return_t IOServiceGetMatchingServices(mach_port_t, CFMutableDictionaryRef matching,
                                           io_iterator_t* existing) {
    if (matching == nullptr || existing == nullptr) {
        delete matching;
        return kIOReturnBadArgument;
    }
    Iterator iterator;
    if (matching->serviceClass == "AppleSMC") {
        Backend backend = chooseBackend();
        {
            std::lock_guard<std::mutex> guard(gLock);
            gMatched = backend;
        }
        // The driver's service exists with its files; the emulator's when it answers a
        // connection attempt (one this process may trust).
        if (backend.kind == Kind::driver) {
            iterator.service = std::move(backend);
        } else if (backend.kind == Kind::emulator) {
            if (int fd = emulator::connectService(); fd >= 0) {
                ::close(fd);
                iterator.service = std::move(backend);
            }
        }
    }
    delete matching;  // the dictionary is consumed, as IOKit does
    *existing = addObject(iterator);
    return kIOReturnSuccess;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
    Backend backend;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto it = gObjects.find(iterator);
        if (it == gObjects.end()) return 0;
        auto* iter = std::get_if<Iterator>(&it->second);
        if (iter == nullptr || !iter->service) return 0;
        backend = std::move(*iter->service);
        iter->service.reset();
    }
    return addObject(Service{std::move(backend)});
}

kern_return_t IOObjectRelease(io_object_t object) {
    std::lock_guard<std::mutex> guard(gLock);
    auto it = gObjects.find(object);
    if (it == gObjects.end() || std::holds_alternative<Connection>(it->second)) {
        return kIOReturnBadArgument;
    }
    gObjects.erase(it);
    return kIOReturnSuccess;
}

kern_return_t IOServiceOpen(io_service_t service, mach_port_t, std::uint32_t type,
                            io_connect_t* connect) {
    if (connect == nullptr || type != 0) return kIOReturnBadArgument;
    Backend backend;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto it = gObjects.find(service);
        auto* found = it == gObjects.end() ? nullptr : std::get_if<Service>(&it->second);
        if (found == nullptr) return kIOReturnBadArgument;
        backend = found->backend;
    }
    Connection connection{backend.kind, -1, nullptr};
    if (backend.kind == Kind::driver) {
        connection.driver = std::make_shared<AppleSMCDriver>(*backend.driver);
    } else {
        connection.fd = emulator::connectService();
        if (connection.fd < 0) return kIOReturnNotOpen;
    }
    *connect = addObject(std::move(connection));
    return kIOReturnSuccess;
}

kern_return_t IOConnectCallStructMethod(io_connect_t connection, std::uint32_t selector,
                                        const void* inputStruct, std::size_t inputStructCnt,
                                        void* outputStruct, std::size_t* outputStructCnt) {
    if (inputStruct == nullptr || outputStruct == nullptr || outputStructCnt == nullptr ||
        inputStructCnt != kSMCBlockSize || *outputStructCnt < kSMCBlockSize ||
        selector != kSelectorStructMethod) {
        return kIOReturnBadArgument;
    }
    int fd = -1;
    std::shared_ptr<AppleSMCDriver> driver;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto it = gObjects.find(connection);
        if (it == gObjects.end()) return kIOReturnNotOpen;
        auto* conn = std::get_if<Connection>(&it->second);
        if (conn == nullptr) return kIOReturnBadArgument;
        if (conn->kind == Kind::driver) {
            driver = conn->driver;
        } else {
            // A connection lost by an earlier call is opened again, as the service itself
            // is still there; only the call that met the loss fails.
            if (conn->fd < 0) conn->fd = emulator::connectService();
            if (conn->fd < 0) return kIOReturnNotResponding;
            fd = conn->fd;
        }
    }
    kern_return_t kr;
    if (driver) {
        kr = driver->call(static_cast<const std::uint8_t*>(inputStruct),
                          static_cast<std::uint8_t*>(outputStruct));
    } else {
        bool lost = false;
        kr = emulator::call(fd, selector, inputStruct, outputStruct, kSMCBlockSize, lost);
        if (lost) {
            std::lock_guard<std::mutex> guard(gLock);
            auto it = gObjects.find(connection);
            if (it != gObjects.end()) {
                if (auto* conn = std::get_if<Connection>(&it->second); conn && conn->fd == fd) {
                    ::close(fd);
                    conn->fd = -1;
                }
            }
            return kr;
        }
    }
    *outputStructCnt = kSMCBlockSize;
    return kr;
}

kern_return_t IOServiceClose(io_connect_t connect) {
    int fd = -1;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto it = gObjects.find(connect);
        if (it == gObjects.end()) return kIOReturnBadArgument;
        auto* conn = std::get_if<Connection>(&it->second);
        if (conn == nullptr) return kIOReturnBadArgument;
        fd = conn->fd;
        gObjects.erase(it);
    }
    if (fd >= 0) ::close(fd);
    return kIOReturnSuccess;
}

IOEmuBackend IOEmuCurrentBackend() {
    std::optional<Backend> backend;
    {
        std::lock_guard<std::mutex> guard(gLock);
        backend = gMatched;
    }
    if (!backend) backend = chooseBackend();
    switch (backend->kind) {
        case Kind::driver:
            return {Kind::driver, backend->driver->directory};
        case Kind::emulator:
            return {Kind::emulator, emulator::socketPath()};
        case Kind::none:
            break;
    }
    return {Kind::none, ""};
}
