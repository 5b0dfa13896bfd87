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
// own attributes (fan speeds and names, the fan count, the manual bits, the labelled
// temperatures), encoded as the SMC would hold them; every other key is missing to it.
// Which type each of those keys has, and whether it exists, it takes from the list root
// processes keep of the keys they looked up (APPLESMC_KEY_TYPES): with it, the speeds of a
// patched driver are "flt " and its manual bits are the mode keys F{i}Md, as root sees
// them. Until a root process has run, the mainline driver's forms are assumed (fpe2 speeds,
// the manual bits as "FS! ").
//
// The key index: "#KEY" is the driver's key_count and the by-index read (command 8) selects
// the index and reads the key's name, for root. A process that cannot select sees an index
// of the keys it can read that way: the labelled temperatures, sorted by name.
//
// Writes go only where the driver encodes them itself, in whole rpm: the fpe2 keys F{i}Mn and
// F{i}Tg through fan{i+1}_min and fan{i+1}_output on every driver; on the patched one also
// the "flt " ones, and the mode key F{i}Md (0 or 1) through fan{i+1}_manual. Any other write
// is refused with kIOReturnNotWritable before any file is written, unless the key already
// holds exactly the bytes given, when it succeeds without a write; a process that is not
// root, or a file that refuses it, gets kIOReturnNotPrivileged.
//
// Where the driver's fan and temperature files sit in hwmon/hwmonN/ (a layout a pending
// upstream conversion introduces, with fanN_target for fanN_output and pwmN_enable for
// fanN_manual) they are read there, and the speeds written there; a manual flag is never
// written through pwmN_enable, whose values that conversion defines differently.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "IOKitEmu.h"

// Where kernels put the driver. Mainline kernels (Intel Macs before the T2 chip): a platform
// device. Kernels with the T2 patch series: an ACPI driver for the device APP0001, which also
// encodes "flt " speeds as floats and writes a fan's mode key through fanN_manual.
inline constexpr const char* APPLESMC_PLATFORM_DIR = "/sys/devices/platform/applesmc.768";
inline constexpr const char* APPLESMC_ACPI_DIR = "/sys/bus/acpi/devices/APP0001:00";

struct AppleSMCDriverLocation {
    AppleSMCDriverLocation(std::string dir, bool patchedDriver = false)
        : directory(std::move(dir)), patched(patchedDriver) {}
    std::string directory;
    bool patched;  // the T2 patch series' driver
};

// The first of the two places that holds the driver's files (its key_count), or none.
std::optional<AppleSMCDriverLocation> findAppleSMCDriver();

// Where root processes of the stand-in take turns at the driver's key selection: in the
// root-owned directory of Orvane's runtime files (made by the first root process that needs
// it, and writable by the sandboxed service), so no user can plant it or hold its lock.
inline constexpr const char* APPLESMC_INDEX_LOCK = "/run/orvane/applesmc-index.lock";
// The types of the keys root processes looked up, one "NAME TYPE SIZE" line each (size 0: the
// SMC has no such key), for processes that cannot select. Root writes it and never reads
// anything from it but the names already listed.
inline constexpr const char* APPLESMC_KEY_TYPES = "/run/orvane/applesmc-keys";

class AppleSMCDriver {
  public:
    // `privileged` defaults to whether the process runs as root.
    explicit AppleSMCDriver(AppleSMCDriverLocation where);
    AppleSMCDriver(AppleSMCDriverLocation where, bool privileged,
                   std::string lockPath = APPLESMC_INDEX_LOCK,
                   std::string typesPath = APPLESMC_KEY_TYPES);
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
    // The file and text through which the driver stores exactly `input` in `key`; false when
    // it has none.
    bool writableAttribute(const std::string& key, const KeyInfo& info, const std::uint8_t* input,
                           std::string& file, std::string& text) const;
    // The answer to a write the driver has no file for.
    kern_return_t unwritable(const std::string& key, const KeyInfo& info,
                             const std::uint8_t* input);

    // The key index (AppleSMCDriverIndex.cpp): "#KEY" read or looked up, and the name of
    // the key at a position.
    kern_return_t keyCountKey(std::uint8_t command, std::uint8_t* output);
    kern_return_t keyAtIndex(std::uint32_t index, std::uint8_t* output);
    // The index a process that cannot select sees.
    std::vector<std::string> readableKeys();

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
    // The path of fan `fan`'s (1-based) attribute ("input", "output", "manual"…) in the
    // driver's layout.
    std::string fanFile(int fan, const std::string& attribute) const;

    // The list of key types: loaded once; root adds the keys it learns, and the keys of every
    // fan's own attributes when it first reaches the driver.
    std::map<std::string, KeyInfo>& sharedTypes();
    void shareType(const std::string& key, const KeyInfo& info);
    // Root makes the directory of the lock and of the list of types when it is missing.
    void makeParent(const std::string& path) const;
    void shareFanKeys();

    bool lockIndex();
    void unlockIndex();

    // A file of the driver's directory, opened again when a signal interrupts; -1 with errno.
    int openFile(const std::string& name, int flags) const;
    int readFile(const std::string& name, std::string& text, std::size_t limit = 4096);
    int writeFile(const std::string& name, const std::string& text);

    std::string root_;
    bool patched_;
    std::string hwmon_;  // "hwmon/hwmonN/" when the fan files sit there, else empty
    bool privileged_;
    std::string lockPath_;
    std::string typesPath_;
    int lockFd_ = -1;
    bool fanKeysShared_ = false;
    AccessHook hook_;
    std::mutex lock_;
    std::optional<int> count_;
    std::map<std::string, int> indexCache_;
    std::map<std::string, KeyInfo> infoCache_;
    std::optional<std::map<std::string, std::string>> temperatureLabels_;
    std::optional<std::map<std::string, KeyInfo>> sharedTypes_;
};
