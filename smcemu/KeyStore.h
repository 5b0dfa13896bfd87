// The key table of the emulated machine: every key's name, data type and current bytes, in
// the order of the profile.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Profile.h"

namespace smcemu {

struct Key {
    std::string name;  // four bytes
    std::string type;  // four bytes
    std::vector<uint8_t> bytes;
};

class KeyStore {
  public:
    explicit KeyStore(const std::vector<ProfileKey>& keys);

    Key* find(std::string_view name);
    const Key* find(std::string_view name) const;
    bool has(std::string_view name) const { return find(name) != nullptr; }

    // The key's value decoded in its own type; no value when the key is missing, its type is
    // not a numeric one or the result is not a finite number.
    std::optional<double> number(std::string_view name) const;

    // Encodes `value` into the key in its own type. False when the key is missing or its
    // type cannot hold numbers.
    bool setNumber(std::string_view name, double value);

    const std::vector<Key>& all() const { return keys_; }

  private:
    std::vector<Key> keys_;
    std::unordered_map<std::string, size_t> index_;
};

}  // namespace smcemu
