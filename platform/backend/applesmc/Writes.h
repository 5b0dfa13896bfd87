// What the driver backend can write. Writes go only where the driver encodes them itself, in
// whole rpm: the fpe2 keys F{i}Mn and F{i}Tg through fan{i+1}_min and fan{i+1}_output on every
// driver; on the patched one also the "flt " ones, and the mode key F{i}Md (0 or 1) through
// fan{i+1}_manual. Any other write is refused with kIOReturnNotWritable before any file is
// written, unless the key already holds exactly the bytes given, when it succeeds without a
// write; a process that is not root, or a file that refuses it, gets kIOReturnNotPrivileged.
// In the hwmon layout a manual flag is never written through pwmN_enable, whose values that
// layout defines differently.
#pragma once

#include <optional>
#include <string>

#include "Codec.h"
#include "DriverFiles.h"
#include "KeyInfo.h"

namespace applesmc {

struct AttributeWrite {
    std::string file;
    std::string text;
};

// The file and text through which the driver stores exactly the bytes of `input` in `key`;
// none when it has none.
std::optional<AttributeWrite> attributeWrite(const std::string& key, const KeyInfo& info,
                                             const SMCBlock& input, const DriverFiles& files,
                                             bool patched);
// The answer to an attribute write that ended with `err` (0 or an errno).
kern_return_t writeAnswer(int err);
// Whether `input` is a write of a key that `current` can be compared with: sized as the key.
bool comparableWrite(const KeyInfo& info, const SMCBlock& input);
// Whether the key already holds the bytes `input` writes.
bool holdsAlready(const KeyInfo& info, const SMCBlock& input, const Bytes& current);

}  // namespace applesmc
