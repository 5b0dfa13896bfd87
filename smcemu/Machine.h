// The emulated SMC: the key table of a profile, the physics behind the computed keys, the
// faults injected at run time, and the two entry points the server uses: one SMC call (the
// 80-byte parameter block of the user client) and one control line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KernReturn.h"
#include "KeyStore.h"
#include "Profile.h"
#include "SMCBlock.h"
#include "SimClock.h"
#include "ThermalModel.h"

namespace smcemu {

// The parameter block, the selector, the command codes and the result bytes of every SMC
// are those of SMCBlock.h, the kernel return codes those of KernReturn.h; here the
// emulator's names for the block's size and the command codes.
constexpr size_t kBlockSize = kSMCBlockSize;
constexpr uint8_t kCmdRead = static_cast<uint8_t>(SMCCommand::readBytes);
constexpr uint8_t kCmdWrite = static_cast<uint8_t>(SMCCommand::writeBytes);
constexpr uint8_t kCmdReadIndex = static_cast<uint8_t>(SMCCommand::readIndex);
constexpr uint8_t kCmdKeyInfo = static_cast<uint8_t>(SMCCommand::readKeyInfo);

// The result byte (offset 40) of a write to a key the emulator computes.
constexpr uint8_t kResultNotWritable = 0x86;

// What the server does with one call.
struct CallOutcome {
    int32_t kr = kIOReturnSuccess;  // kernel return code to send before the output block
    bool drop = false;              // close the connection instead of replying
    int delayMs = 0;                // wait this long before replying
};

class Machine {
  public:
    // Throws ProfileError for bad model parameters.
    explicit Machine(const Profile& profile, SimClock::Source time = monotonicSeconds);

    // Serves one call. `in` and `out` are 80-byte blocks; `out` is always fully written.
    // `privileged` tells whether the peer is root; `peer` is its process id, kept in the
    // call trace only.
    CallOutcome serve(uint32_t selector, const uint8_t* in, uint8_t* out, bool privileged,
                      int peer = 0);

    // Several calls served as one operation, as a kernel driver makes them under its own lock:
    // while a session lives, no other call, control command or step of the physics comes
    // between its calls.
    class Session {
      public:
        CallOutcome serve(uint32_t selector, const uint8_t* in, uint8_t* out, bool privileged,
                          int peer = 0) {
            return machine_.serveLocked(selector, in, out, privileged, peer);
        }
        // A key's whole value, however long (a call's block carries at most 32 bytes);
        // none when the machine lacks the key.
        std::optional<std::vector<uint8_t>> bytes(const std::string& key) const {
            const Key* k = machine_.keys_.find(key);
            return k ? std::optional(k->bytes) : std::nullopt;
        }

      private:
        friend class Machine;
        explicit Session(Machine& machine) : machine_(machine), lock_(machine.mutex_) {}
        Machine& machine_;
        std::unique_lock<std::mutex> lock_;
    };
    Session session() { return Session(*this); }

    // The key table as it is now: every key's name, type and bytes, in the SMC's order
    // (sorted by name, byte by byte), which is the order its key index counts in.
    std::vector<Key> keysByIndex();

    // serve() for callers that only need the return code.
    int32_t call(uint32_t selector, const uint8_t* in, uint8_t* out, bool privileged) {
        return serve(selector, in, out, privileged).kr;
    }

    // Runs one control command (one line without its newline). Returns the reply line,
    // "OK ..." or "ERR <message>", without a newline.
    std::string control(std::string_view line);

    // Inspection, at the current simulated time.
    double cpuTemperature();
    std::optional<double> fanRpm(int fan);
    std::optional<double> keyNumber(std::string_view key);
    uint64_t callCount();
    // How many times the machine has slept (the control "sleep"); readable at any time,
    // also while a session holds the machine.
    uint64_t sleepCount() const { return sleeps_.load(); }

  private:
    // One call as the trace keeps it: which process asked what of which key.
    struct TraceEntry {
        uint64_t number;
        int peer;
        uint8_t command;
        std::string key;
    };
    static constexpr size_t kTraceLength = 256;

    struct KeyFaults {
        std::optional<int32_t> info, read, write;
        bool drop = false;
    };

    CallOutcome serveLocked(uint32_t selector, const uint8_t* in, uint8_t* out, bool privileged,
                            int peer);
    void sync();  // brings the physics up to the current simulated time
    void keyInfo(const std::string& name, uint8_t* out);
    void keyAtIndex(uint32_t index, uint8_t* out) const;
    void readKey(const std::string& name, uint8_t* out);
    void writeKey(const std::string& name, const uint8_t* in, uint8_t* out, bool privileged,
                  int32_t& kr);

    // Control commands (MachineControl.cpp).
    std::string controlLocked(const std::vector<std::string>& words,
                              const std::vector<bool>& quoted);
    std::string cmdLoad(const std::vector<std::string>& words);
    std::string cmdClock(const std::vector<std::string>& words);
    std::string cmdFault(const std::vector<std::string>& words, const std::vector<bool>& quoted);
    std::string cmdGet(const std::vector<std::string>& words);
    std::string cmdSet(const std::vector<std::string>& words);
    std::string cmdStatus();
    std::string cmdTrace(const std::vector<std::string>& words);
    std::string cmdSleep(const std::vector<std::string>& words);
    std::string cmdTakeback(const std::vector<std::string>& words);
    std::string cmdPin(const std::vector<std::string>& words, const std::vector<bool>& quoted);
    // The SMC takes a fan back to automatic control: its mode byte 0 where it has one, else
    // its minimum back to the profile's; its bit of "FS! " cleared either way.
    void handBack(int fan);

    std::mutex mutex_;
    KeyStore keys_;
    std::vector<std::string> index_;  // the key names in the SMC's order
    ThermalModel model_;
    SimClock clock_;
    double modelTime_;
    uint64_t calls_ = 0;
    std::deque<TraceEntry> trace_;  // the last kTraceLength calls, oldest first
    std::map<std::string, KeyFaults> keyFaults_;
    std::map<uint64_t, std::optional<int32_t>> callFaults_;  // call number -> code, or drop
    int slowMs_ = 0;
    std::map<int, std::vector<uint8_t>> profileMinimums_;  // fan -> F{i}Mn as the profile has it
    std::atomic<uint64_t> sleeps_{0};
};

}  // namespace smcemu
