#include "KeyStore.h"

#include <cmath>

#include "Codec.h"

namespace smcemu {

KeyStore::KeyStore(const std::vector<ProfileKey>& keys) {
    keys_.reserve(keys.size());
    for (const ProfileKey& k : keys) {
        index_.emplace(k.name, keys_.size());
        keys_.push_back({k.name, k.type, k.value});
    }
}

Key* KeyStore::find(std::string_view name) {
    auto it = index_.find(std::string(name));
    return it == index_.end() ? nullptr : &keys_[it->second];
}

const Key* KeyStore::find(std::string_view name) const {
    auto it = index_.find(std::string(name));
    return it == index_.end() ? nullptr : &keys_[it->second];
}

std::optional<double> KeyStore::number(std::string_view name) const {
    const Key* key = find(name);
    if (!key) return std::nullopt;
    std::optional<double> v = codec::decode(key->bytes, key->type);
    if (!v || !std::isfinite(*v)) return std::nullopt;
    return v;
}

bool KeyStore::setNumber(std::string_view name, double value) {
    Key* key = find(name);
    return key && codec::encodeInto(value, key->type, key->bytes);
}

}  // namespace smcemu
