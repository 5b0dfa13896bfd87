// A key's size and type, as the driver shows them and root's list of types records them.
#pragma once

#include <cstdint>
#include <string>

namespace applesmc {

struct KeyInfo {
    std::uint32_t size = 0;  // 0: the driver has no such key
    std::string type;        // four characters, trailing spaces kept
};

}  // namespace applesmc
