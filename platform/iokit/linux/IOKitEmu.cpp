#include "IOKitEmu.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <variant>

mach_port_t mach_task_self_ = 1;

struct IOEmuMatching {
    std::string serviceClass;
};

namespace {

using ServicePtr = std::shared_ptr<const SMCService>;

struct Iterator {
    ServicePtr service;  // the AppleSMC service not yet handed out
};
struct Service {
    ServicePtr service;
};
struct Connection {
    ServicePtr service;
    // Shared with a call in progress, so that closing the connection meanwhile leaves the
    // backend to that call until it returns.
    std::shared_ptr<SMCBackend> backend;
};
using Object = std::variant<Iterator, Service, Connection>;

// The objects handed out, by handle: the stand-in's only state.
struct Table {
    std::mutex lock;
    std::map<io_object_t, Object> objects;
    io_object_t next = 1;

    io_object_t add(Object object) {
        std::lock_guard<std::mutex> guard(lock);
        io_object_t handle = next++;
        if (next == 0) next = 1;
        objects.emplace(handle, std::move(object));
        return handle;
    }
    // The object of `handle` if it is a T; call with the lock held.
    template <typename T>
    T* find(io_object_t handle) {
        auto it = objects.find(handle);
        return it == objects.end() ? nullptr : std::get_if<T>(&it->second);
    }
};

Table& table() {
    static Table instance;
    return instance;
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
        if (ServicePtr service = findSMCService(); service && service->present())
            iterator.service = std::move(service);
    }
    delete matching;  // the dictionary is consumed, as IOKit does
    *existing = table().add(std::move(iterator));
    return kIOReturnSuccess;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
    ServicePtr service;
    {
        std::lock_guard<std::mutex> guard(table().lock);
        auto* iter = table().find<Iterator>(iterator);
        if (iter == nullptr || !iter->service) return 0;
        service = std::move(iter->service);
    }
    return table().add(Service{std::move(service)});
}

kern_return_t IOObjectRelease(io_object_t object) {
    std::lock_guard<std::mutex> guard(table().lock);
    auto it = table().objects.find(object);
    if (it == table().objects.end() || std::holds_alternative<Connection>(it->second)) {
        return kIOReturnBadArgument;
    }
    table().objects.erase(it);
    return kIOReturnSuccess;
}

kern_return_t IOServiceOpen(io_service_t service, mach_port_t, std::uint32_t type,
                            io_connect_t* connect) {
    if (connect == nullptr || type != 0) return kIOReturnBadArgument;
    ServicePtr found;
    {
        std::lock_guard<std::mutex> guard(table().lock);
        auto* object = table().find<Service>(service);
        if (object == nullptr) return kIOReturnBadArgument;
        found = object->service;
    }
    std::shared_ptr<SMCBackend> backend = found->open();
    if (!backend) return kIOReturnNotOpen;
    *connect = table().add(Connection{std::move(found), std::move(backend)});
    return kIOReturnSuccess;
}

kern_return_t IOConnectCallStructMethod(io_connect_t connection, std::uint32_t selector,
                                        const void* inputStruct, std::size_t inputStructCnt,
                                        void* outputStruct, std::size_t* outputStructCnt) {
    if (inputStruct == nullptr || outputStruct == nullptr || outputStructCnt == nullptr ||
        inputStructCnt != kSMCBlockSize || *outputStructCnt < kSMCBlockSize ||
        selector != kSMCStructMethodSelector) {
        return kIOReturnBadArgument;
    }
    std::shared_ptr<SMCBackend> backend;
    {
        std::lock_guard<std::mutex> guard(table().lock);
        if (table().objects.count(connection) == 0) return kIOReturnNotOpen;
        auto* conn = table().find<Connection>(connection);
        if (conn == nullptr) return kIOReturnBadArgument;
        backend = conn->backend;
    }
    SMCBlock input;
    std::memcpy(input.data(), inputStruct, kSMCBlockSize);
    // A call that answers nothing leaves the caller's block as it was.
    SMCBlock output;
    std::memcpy(output.data(), outputStruct, kSMCBlockSize);
    const kern_return_t kr = backend->call(selector, input, output);
    std::memcpy(outputStruct, output.data(), kSMCBlockSize);
    *outputStructCnt = kSMCBlockSize;
    return kr;
}

kern_return_t IOServiceClose(io_connect_t connect) {
    std::shared_ptr<SMCBackend> backend;  // closed here, outside the lock, when no call holds it
    std::lock_guard<std::mutex> guard(table().lock);
    auto* conn = table().find<Connection>(connect);
    if (conn == nullptr) return kIOReturnBadArgument;
    backend = std::move(conn->backend);
    table().objects.erase(connect);
    return kIOReturnSuccess;
}

IOEmuBackend IOEmuCurrentBackend() {
    ServicePtr service;
    {
        std::lock_guard<std::mutex> guard(table().lock);
        for (auto it = table().objects.rbegin(); it != table().objects.rend() && !service; ++it)
            if (auto* conn = std::get_if<Connection>(&it->second)) service = conn->service;
    }
    if (!service) service = findSMCService();
    if (!service) return {SMCServiceKind::none, ""};
    return {service->kind(), service->address()};
}
