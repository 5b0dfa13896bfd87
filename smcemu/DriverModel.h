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

// "mainline" or "t2"; no value for anything else.
std::optional<DriverVariant> parseDriverVariant(std::string_view name);

// A machine the chosen driver cannot serve, or a driver tree that cannot be mounted.
class DriverError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class DriverModel {
  public:
    struct File {
        std::string name;
        bool writable = false;
    };

    // Result of reading a file: its whole content, or a positive errno.
    struct Content {
        int error = 0;
        std::string bytes;
    };

    // Reads the fan count and the temperature keys from the machine, as the driver does when
    // it loads.
    DriverModel(Machine& machine, DriverVariant variant);

    DriverVariant variant() const { return variant_; }
    const std::vector<File>& files() const { return files_; }
    const File* file(std::string_view name) const;

    // The content of a file as one read of it gives. `pid` names the caller in the trace.
    Content read(std::string_view name, int pid = 0);

    // Stores `data` in a file for user `uid`. Returns 0 or a positive errno: EACCES for a
    // file that takes no writes or a user other than root, EINVAL for input the driver
    // rejects or a key it lacks or whose size differs, EIO when the SMC fails.
    int write(std::string_view name, std::string_view data, uid_t uid, int pid = 0);

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
        TempLabel,
        TempInput
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

    void addFile(std::string name, bool writable, Attribute attribute);
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
    std::vector<KeyShape> keys_;  // sorted by name: the SMC's key index
    std::vector<File> files_;
    std::vector<Attribute> attributes_;  // parallel to files_
    std::mutex mutex_;                   // guards selected_
    size_t selected_ = 0;                // the machine-wide key_at_index selection
};

}  // namespace smcemu
