// The driver backend of the Linux IOKit stand-in: the "AppleSMC" user client answered
// through the attribute files of the Linux applesmc driver, with the same 80-byte blocks,
// return codes and result bytes the SMC gives.
//
// Key info and reads go through the shared index files (key_at_index and its companions):
// a key's index is found by binary search over the sorted names and cached. The selection
// is one value for the whole machine. Processes of this stand-in take turns at it under a
// lock file only root can open (two readers of the same keys could otherwise move the
// selection away and back unseen); against other programs, every access that depends on
// it reads the name and the selected index again afterwards and starts over when they moved.
//
// A process that is not root cannot select an index. It reads the keys that have their
// own attributes (fan speeds and names, the fan count, the manual bits as "FS! ", the
// labelled temperatures), encoded as the SMC would hold them; every other key is missing
// to it.
//
// Writes go only where the driver encodes them itself: the fpe2 keys F{i}Mn and F{i}Tg,
// through fan{i+1}_min and fan{i+1}_output in whole rpm. Any other write is refused with
// kIOReturnNotWritable before any file is touched; a process that is not root, or a file
// that refuses it, gets kIOReturnNotPrivileged.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "IOKitEmu.h"

// Where root processes of the stand-in take turns at the driver's key selection: in a
// directory only root may write, so no user can plant it or hold its lock.
inline constexpr const char* APPLESMC_INDEX_LOCK = "/run/orvane-applesmc-index.lock";

class AppleSMCDriver {
  public:
    // `privileged` defaults to whether the process runs as root.
    explicit AppleSMCDriver(std::string root = APPLESMC_DRIVER_DIR);
    AppleSMCDriver(std::string root, bool privileged, std::string lockPath = APPLESMC_INDEX_LOCK);
    ~AppleSMCDriver();
    AppleSMCDriver(const AppleSMCDriver&) = delete;
    AppleSMCDriver& operator=(const AppleSMCDriver&) = delete;

    // One struct-method call: an 80-byte input block, an 80-byte output block.
    kern_return_t call(const std::uint8_t* input, std::uint8_t* output);

    // Called after every access to a file of the tree, with its name and whether it was
    // written. Lets tests model the driver's shared selection on plain files.
    using AccessHook = std::function<void(const std::string& file, bool wrote)>;
    void setAccessHook(AccessHook hook) { hook_ = std::move(hook); }

  private:
    struct KeyInfo {
        std::uint32_t size = 0;  // 0: the driver has no such key
        std::string type;
    };

    kern_return_t keyInfo(const std::string& key, KeyInfo& info);
    kern_return_t readKey(const std::string& key, const KeyInfo& info,
                          std::vector<std::uint8_t>& bytes);
    kern_return_t writeKey(const std::string& key, const std::uint8_t* input);

    // Index files.
    kern_return_t keyCount(int& count);
    kern_return_t indexOf(const std::string& key, int& index);
    // Selects `index`, runs `body` (0, an errno, or -1 when what it read cannot be the
    // key's) and checks the selection held, under the lock of the selection.
    kern_return_t atIndex(int index, const std::string* expectedName,
                          const std::function<int()>& body);
    kern_return_t selectAndCheck(int index, const std::string* expectedName,
                                 const std::function<int()>& body);
    // Own attributes, for a process that cannot select.
    kern_return_t attributeValue(const std::string& key, KeyInfo& info,
                                 std::vector<std::uint8_t>& bytes);
    std::optional<std::string> temperatureAttribute(const std::string& key);

    bool lockIndex();
    void unlockIndex();

    int readFile(const std::string& name, std::string& text, std::size_t limit = 4096);
    int writeFile(const std::string& name, const std::string& text);

    std::string root_;
    bool privileged_;
    std::string lockPath_;
    int lockFd_ = -1;
    AccessHook hook_;
    std::mutex lock_;
    std::optional<int> count_;
    std::map<std::string, int> indexCache_;
    std::map<std::string, KeyInfo> infoCache_;
    std::optional<std::map<std::string, std::string>> temperatureLabels_;
};
