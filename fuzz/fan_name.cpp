// The fan name of a description record (the bytes of F{i}Id): the first input byte picks
// the fan index, the rest is the record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FanController.h"
#include "Unicode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int fan = data[0];
    const SMCBytes record(data + 1, data + size);
    const std::string name = fanNameFromRecord(record, fan);
    // Every name is shown in menus and listings: it must be valid UTF-8, and no longer than
    // the record or the fallback "Fan N".
    if (!unicode::isValidUTF8(name)) std::abort();
    if (name.size() > record.size() && name != "Fan " + std::to_string(fan)) std::abort();
    return 0;
}
