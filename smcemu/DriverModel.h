// The emulated machine as the Linux applesmc driver shows it: the driver's attribute files
// (key index, fans, temperatures) with their contents and the effect of writing them. Every
// file access is one operation on the machine, made of ordinary SMC calls (so faults,
// the call trace and the physics apply as they do to socket clients) in one machine session.
//
// Two drivers are modelled. The mainline driver (a platform device) reads and writes fan
// speeds as fpe2 and keeps the manual flags of all fans in the 16-bit big-endian word "FS! ".
// The driver of the T2 patch series (an ACPI device) reads and writes each speed key in its
// own encoding ("flt " keys as floats, others as fpe2) and a fan's manual flag in its mode
// key F{i}Md where the machine has one, in "FS! " otherwise. Both check a key's size, never
// its type: a missing key or another size is EINVAL, a failing SMC EIO. Any machine loads.
//
// Two layouts of the files. In the device layout every file sits in the device's directory. In
// the hwmon layout (that of a pending upstream conversion) the key index files stay there while
// the fan and temperature files sit in hwmon/hwmonN/, beside a "name" file, with fanN_target
// for fanN_output and pwmN_enable (1: manual, 2: automatic) for fanN_manual. The driver's
// hwmon device is created anew when the machine wakes: N counts the machine's sleeps, and the
// files of the old directory are gone.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Machine.h"

namespace smcemu {

enum class DriverVariant { Mainline, T2 };
enum class DriverLayout { Device, Hwmon };

// "mainline" or "t2"; no value for anything else.
std::optional<DriverVariant> parseDriverVariant(std::string_view name);
// "device" or "hwmon"; no value for anything else.
std::optional<DriverLayout> parseDriverLayout(std::string_view name);

// A machine the chosen driver cannot serve, or a driver tree that cannot be mounted.
class DriverError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class DriverModel {
  public:
    struct File {
        std::string name;  // within its directory
        bool writable = false;
        bool hwmon = false;  // in the hwmon directory, not the device's
    };
    // An entry of a directory of the tree.
    struct Entry {
        std::string name;
        bool directory = false;
    };

    // Result of reading a file: its whole content, or a positive errno.
    struct Content {
        int error = 0;
        std::string bytes;
    };

    // Reads the fan count and the temperature keys from the machine, as the driver does when
    // it loads.
    DriverModel(Machine& machine, DriverVariant variant,
                DriverLayout layout = DriverLayout::Device);

    DriverVariant variant() const { return variant_; }
    DriverLayout layout() const { return layout_; }
    const std::vector<File>& files() const { return files_; }
    // Paths are relative to the device's directory ("fan1_input", "hwmon/hwmon0/fan1_input").
    const File* file(std::string_view path) const;
    // "hwmon/hwmonN" as it is now in the hwmon layout, else empty.
    std::string hwmonDirectory() const;
    // Whether `path` names a directory: "" (the device's), "hwmon" and the current hwmonN.
    bool isDirectory(std::string_view path) const;
    // The entries of a directory, empty when `path` names none.
    std::vector<Entry> list(std::string_view path) const;

    // The content of a file as one read of it gives. `pid` names the caller in the trace.
    Content read(std::string_view path, int pid = 0);

    // Stores `data` in a file for user `uid`. Returns 0 or a positive errno: EACCES for a
    // file that takes no writes or a user other than root, EINVAL for input the driver
    // rejects or a key it lacks or whose size differs, EIO when the SMC fails.
    int write(std::string_view path, std::string_view data, uid_t uid, int pid = 0);

  private:
    enum class Kind {
        KeyCount,
        KeyAtIndex,
        IndexName,
        IndexType,
        IndexLength,
        IndexData,
        FanLabel,
        FanSpeed,
        FanManual,
        PwmEnable,
        TempLabel,
        TempInput,
        HwmonName
    };
    struct Attribute {
        Kind kind;
        int fan = 0;      // SMC fan number for fan files
        std::string key;  // the key a fan speed or temperature file reads
    };
    struct KeyShape {
        std::string name, type;
        size_t size;
    };

    // One SMC call sequence for one file access; collects the delay an injected slow fault
    // asks for, served after the machine is released.
    struct Access {
        Machine::Session session;
        int pid;
        int delayMs = 0;
    };

    void addFile(std::string name, bool writable, Attribute attribute, bool hwmon = false);
    // The file a path names now and its attribute; -1 for none.
    long fileIndex(std::string_view path) const;
    // A fan's manual flag as the driver keeps it: its mode byte on the patched driver where
    // the machine has one, else its bit of "FS! ".
    // Reads the byte or the bit as it is; a write stores value & 1 in the mode byte, or sets
    // the bit for any value but 0.
    int readManual(Access& access, int fan, unsigned& value);
    int writeManual(Access& access, int fan, uint64_t value);
    const KeyShape* shape(std::string_view key) const;
    // `length` 0 takes the key at any size.
    int readKey(Access& access, const std::string& key, size_t length, std::vector<uint8_t>& bytes);
    int writeKey(Access& access, const std::string& key, const std::vector<uint8_t>& bytes);
    Content readAttribute(Access& access, const Attribute& a);
    int writeAttribute(Access& access, const Attribute& a, std::string_view data);
    int readSpeed(Access& access, const std::string& key, unsigned& rpm);
    bool hasModeKey(int fan) const;              // the patched driver uses F{fan}Md
    bool isFloat(const std::string& key) const;  // the patched driver's float speed key

    Machine& machine_;
    DriverVariant variant_;
    DriverLayout layout_;
    std::vector<KeyShape> keys_;  // sorted by name: the SMC's key index
    std::vector<File> files_;
    std::vector<Attribute> attributes_;  // parallel to files_
    std::mutex mutex_;                   // guards selected_
    size_t selected_ = 0;                // the machine-wide key_at_index selection
};

}  // namespace smcemu
