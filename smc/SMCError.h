// The one error type of the hardware layer. Its description is what the programs
// show when they report a failure of the layer.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "SMCCommand.h"

class SMCError : public std::exception {
  public:
    // How a refused write's description begins, and the words it has when root would not
    // change the refusal either; programs that see the description only as text (the
    // daemon's ERR reply) recognise a refused write by them.
    static constexpr const char* kWriteRejectedText = "写入被拒";
    static constexpr const char* kWriteUnsupportedText = "此驱动不支持";

    enum class Kind {
        openFailed,
        callFailed,
        keyNotFound,
        badDataType,
        writeRejected,
        serviceNotFound,
        minimumUnknown,  // a minimum never captured, so never raised
        restoreFailed    // several fans could not be handed back
    };

    static SMCError openFailed(std::int32_t kr);
    static SMCError callFailed(SMCCommand cmd, std::int32_t kr);
    static SMCError keyNotFound(std::string key);
    static SMCError badDataType(std::string key, std::string type);
    // A write the service refused: for want of privilege, or, with kIOReturnNotWritable
    // (0xE00002CF), because it cannot write that key at all (a driver that exposes no such
    // write), which root would not change.
    static SMCError writeRejected(std::int32_t kr);
    static SMCError serviceNotFound();
    // The minimum key `key` was unreadable at start and is not in the boot's record: the
    // fan is not forced through it, since nothing could put it back.
    static SMCError minimumUnknown(std::string key);
    // Several fans failed to go back to automatic control: (fan, description) of each.
    static SMCError restoreFailed(const std::vector<std::pair<int, std::string>>& failures);

    Kind kind() const { return kind_; }
    std::int32_t kr() const { return kr_; }
    SMCCommand cmd() const { return cmd_; }
    const std::string& key() const { return key_; }
    const std::string& type() const { return type_; }

    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    SMCError(Kind kind, std::int32_t kr, SMCCommand cmd, std::string key, std::string type);

    Kind kind_;
    std::int32_t kr_;
    SMCCommand cmd_;
    std::string key_;
    std::string type_;
    std::string description_;
};
