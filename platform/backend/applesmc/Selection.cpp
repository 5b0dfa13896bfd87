#include "Selection.h"

#include <unistd.h>

namespace applesmc {

namespace {

// How often an access spoilt by another process's selection is made before the call fails.
constexpr int kSelectAttempts = 8;

}  // namespace

kern_return_t KeySelection::keyCount(int& count) {
    if (!count_) {
        std::string text;
        if (int err = files_.read("key_count", text)) return fromErrno(err);
        const auto value = decimal(text);
        if (!value || *value < 0 || *value > 0xFFFF) return kIOReturnError;
        count_ = static_cast<int>(*value);
    }
    count = *count_;
    return kIOReturnSuccess;
}

kern_return_t KeySelection::info(const std::string& key, KeyInfo& info) {
    int index = -1;
    if (kern_return_t kr = indexOf(key, index)) return kr;
    info = {};
    if (index < 0) return kIOReturnSuccess;
    std::string type;
    std::string length;
    kern_return_t kr = atIndex(index, &key, [&] {
        int err = files_.read("key_at_index_type", type);
        return err != 0 ? err : files_.read("key_at_index_data_length", length);
    });
    if (kr != kIOReturnSuccess) return kr;
    const auto size = decimal(length);
    if (!size || *size <= 0 || *size > 0xFFFF) return kIOReturnError;
    info.size = static_cast<std::uint32_t>(*size);
    info.type = firstLine(type);
    info.type.resize(4, ' ');
    return kIOReturnSuccess;
}

kern_return_t KeySelection::read(const std::string& key, const KeyInfo& info, Bytes& bytes) {
    std::string data;
    kern_return_t kr = atIndex(indexCache_.at(key), &key, [&] {
        int err = files_.read("key_at_index_data", data, info.size + 1);
        // Another key's bytes, if the selection moved before the read, may differ in size.
        return err != 0 ? err : (data.size() == info.size ? 0 : -1);
    });
    if (kr != kIOReturnSuccess) return kr;
    bytes.assign(data.begin(), data.end());
    return kIOReturnSuccess;
}

kern_return_t KeySelection::nameAt(std::uint32_t index, std::string& name) {
    name.clear();
    int count = 0;
    if (kern_return_t kr = keyCount(count)) return kr;
    if (index >= static_cast<std::uint32_t>(count)) return kIOReturnSuccess;
    const int at = static_cast<int>(index);
    kern_return_t kr = atIndex(at, nullptr, [&] {
        int err = files_.read("key_at_index_name", name);
        name = firstLine(name);
        return err;
    });
    if (kr != kIOReturnSuccess) return kr;
    // Looking the key up later needs no search.
    if (name.size() == 4) indexCache_.emplace(name, at);
    return kIOReturnSuccess;
}

kern_return_t KeySelection::indexOf(const std::string& key, int& index) {
    if (auto it = indexCache_.find(key); it != indexCache_.end()) {
        index = it->second;
        return kIOReturnSuccess;
    }
    int count = 0;
    if (kern_return_t kr = keyCount(count)) return kr;
    // The SMC keeps its keys sorted by their four bytes, which is how strings compare.
    int lo = 0;
    int hi = count - 1;
    while (lo <= hi) {
        const int mid = lo + (hi - lo) / 2;
        std::string name;
        kern_return_t kr = atIndex(mid, nullptr, [&] {
            int err = files_.read("key_at_index_name", name);
            name = firstLine(name);
            return err;
        });
        if (kr != kIOReturnSuccess) return kr;
        indexCache_.emplace(name, mid);
        if (name == key) {
            index = mid;
            return kIOReturnSuccess;
        }
        if (name < key)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    index = -1;
    return kIOReturnSuccess;
}

kern_return_t KeySelection::atIndex(int index, const std::string* expectedName,
                                    const std::function<int()>& body) {
    const bool locked = lock_.lock();
    const kern_return_t kr = selectAndCheck(index, expectedName, body);
    if (locked) lock_.unlock();
    return kr;
}

kern_return_t KeySelection::selectAndCheck(int index, const std::string* expectedName,
                                           const std::function<int()>& body) {
    const std::string selection = std::to_string(index) + "\n";
    for (int attempt = 0; attempt < kSelectAttempts; ++attempt) {
        // Past the first retry the other process is given a moment to finish its access.
        if (attempt > 1) ::usleep(static_cast<useconds_t>(attempt) * 500);
        if (int err = files_.write("key_at_index", selection)) return fromErrno(err);
        const int err = body();
        if (err > 0) return fromErrno(err);
        if (err < 0) continue;
        // What was read belongs to the index only if the selection is still that index
        // and still names the key: another process may have selected in between.
        std::string text;
        if (expectedName) {
            if (int e = files_.read("key_at_index_name", text)) return fromErrno(e);
            if (firstLine(text) != *expectedName) continue;
        }
        if (int e = files_.read("key_at_index", text)) return fromErrno(e);
        if (decimal(text) == index) return kIOReturnSuccess;
    }
    return kIOReturnBusy;
}

}  // namespace applesmc
