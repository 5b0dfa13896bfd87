// Root's reads through the driver's index files (key_at_index and its companions): a key's
// index is found by binary search over the sorted names and cached. The selection is one value
// for the whole machine. Processes of the stand-in take turns at it (SelectionLock.h); against
// other programs, every access that depends on it reads the name and the selected index again
// afterwards and starts over when they moved.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "Codec.h"
#include "DriverFiles.h"
#include "KeyInfo.h"
#include "SelectionLock.h"

namespace applesmc {

class KeySelection {
  public:
    KeySelection(DriverFiles& files, std::string lockPath, bool privileged)
        : files_(files), lock_(std::move(lockPath), privileged) {}

    // key_count, read once.
    kern_return_t keyCount(int& count);
    // The key's size and type; size 0 when the driver has no such key.
    kern_return_t info(const std::string& key, KeyInfo& info);
    // The value bytes of a key `info` found.
    kern_return_t read(const std::string& key, const KeyInfo& info, Bytes& bytes);
    // The name of the key at `index`; empty past the last one.
    kern_return_t nameAt(std::uint32_t index, std::string& name);

  private:
    // The key's index, or -1 when the driver has no such key.
    kern_return_t indexOf(const std::string& key, int& index);
    // Selects `index`, runs `body` (0, an errno, or -1 when what it read cannot be the key's)
    // and checks the selection held, under the lock of the selection.
    kern_return_t atIndex(int index, const std::string* expectedName,
                          const std::function<int()>& body);
    kern_return_t selectAndCheck(int index, const std::string* expectedName,
                                 const std::function<int()>& body);

    DriverFiles& files_;
    SelectionLock lock_;
    std::optional<int> count_;
    std::map<std::string, int> indexCache_;
};

}  // namespace applesmc
