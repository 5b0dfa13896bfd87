#include "IOKitEmu.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <variant>

mach_port_t mach_task_self_ = 1;

struct IOEmuMatching {
    std::string serviceClass;
};

namespace {

constexpr std::size_t kBlockSize = 80;
constexpr std::uint32_t kSelectorStructMethod = 2;
// A call the service has not answered by then fails, so a stalled emulator cannot
// hang its clients (the tray application reads the SMC on its main thread).
constexpr int kCallTimeoutSeconds = 5;

struct Iterator {
    bool hasService = false;
};
struct Service {};
struct Connection {
    int fd = -1;
};
using Object = std::variant<Iterator, Service, Connection>;

std::mutex gLock;
std::map<io_object_t, Object> gObjects;
io_object_t gNextHandle = 1;

io_object_t addObject(Object object) {
    std::lock_guard<std::mutex> guard(gLock);
    io_object_t handle = gNextHandle++;
    if (gNextHandle == 0) gNextHandle = 1;
    gObjects.emplace(handle, std::move(object));
    return handle;
}

std::string socketPath() {
    const char* env = std::getenv("SMCEMU_SOCKET");
    return (env != nullptr && *env != '\0') ? env : SMCEMU_DEFAULT_SOCKET;
}

int connectService() {
    std::string path = socketPath();
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        ::close(fd);
        return -1;
    }
    timeval timeout{kCallTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    return fd;
}

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
    // The service exists when the emulator answers a connection attempt.
    Iterator iterator;
    if (matching->serviceClass == "AppleSMC") {
        int fd = connectService();
        if (fd >= 0) {
            ::close(fd);
            iterator.hasService = true;
        }
    }
    delete matching;  // the dictionary is consumed, as IOKit does
    *existing = addObject(iterator);
    return kIOReturnSuccess;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto it = gObjects.find(iterator);
        if (it == gObjects.end()) return 0;
        auto* iter = std::get_if<Iterator>(&it->second);
        if (iter == nullptr || !iter->hasService) return 0;
        iter->hasService = false;
    }
    return addObject(Service{});
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
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto it = gObjects.find(service);
        if (it == gObjects.end() || !std::holds_alternative<Service>(it->second)) {
            return kIOReturnBadArgument;
        }
    }
    int fd = connectService();
    if (fd < 0) return kIOReturnNotOpen;
    *connect = addObject(Connection{fd});
    return kIOReturnSuccess;
}

kern_return_t IOConnectCallStructMethod(io_connect_t connection, std::uint32_t selector,
                                        const void* inputStruct, std::size_t inputStructCnt,
                                        void* outputStruct, std::size_t* outputStructCnt) {
    if (inputStruct == nullptr || outputStruct == nullptr || outputStructCnt == nullptr ||
        inputStructCnt != kBlockSize || *outputStructCnt < kBlockSize ||
        selector != kSelectorStructMethod) {
        return kIOReturnBadArgument;
    }
    int fd;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto it = gObjects.find(connection);
        if (it == gObjects.end()) return kIOReturnNotOpen;
        auto* conn = std::get_if<Connection>(&it->second);
        if (conn == nullptr) return kIOReturnBadArgument;
        // A connection lost by an earlier call is opened again, as the service itself
        // is still there; only the call that met the loss fails.
        if (conn->fd < 0) conn->fd = connectService();
        if (conn->fd < 0) return kIOReturnNotResponding;
        fd = conn->fd;
    }
    unsigned char request[4 + kBlockSize];
    putLE32(request, selector);
    std::memcpy(request + 4, inputStruct, kBlockSize);
    unsigned char reply[4 + kBlockSize];
    if (!sendAll(fd, request, sizeof(request)) || !recvAll(fd, reply, sizeof(reply))) {
        // The stream may hold a late or partial reply: never read from it again.
        std::lock_guard<std::mutex> guard(gLock);
        auto it = gObjects.find(connection);
        if (it != gObjects.end()) {
            if (auto* conn = std::get_if<Connection>(&it->second); conn && conn->fd == fd) {
                ::close(fd);
                conn->fd = -1;
            }
        }
        return kIOReturnNotResponding;
    }
    std::memcpy(outputStruct, reply + 4, kBlockSize);
    *outputStructCnt = kBlockSize;
    return static_cast<kern_return_t>(getLE32(reply));
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
