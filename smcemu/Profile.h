// Machine profiles: the key table of one machine type plus optional model parameters.
//
// Text format, one entry a line:
//   "KEY" "TYPE" SIZE HEXBYTES   a key: name and data type exactly four characters in double
//                                quotes (trailing spaces are part of them), SIZE in decimal
//                                (0..255), HEXBYTES the initial value, SIZE bytes written as
//                                hex pairs, optionally separated by spaces
//   @name value                  a model parameter (a number)
//   # ...                        a comment; also allowed after an entry
// Blank lines are ignored.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace smcemu {

// A profile that cannot be used. The message starts with "FILE:LINE: " when it concerns a
// line of the profile, or "FILE: " otherwise.
class ProfileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ProfileKey {
    std::string name;  // exactly four bytes
    std::string type;  // exactly four bytes
    std::vector<uint8_t> value;
    int line = 0;
};

struct ProfileParameter {
    std::string name;
    double value = 0;
    int line = 0;
};

struct Profile {
    std::string source;  // file name (or a label) used in error messages
    std::vector<ProfileKey> keys;
    std::vector<ProfileParameter> parameters;

    // Builds the error "source:line: message" (or "source: message" for line 0).
    ProfileError error(int line, std::string_view message) const;
};

// Parses profile text. `source` names it in error messages. Throws ProfileError.
Profile parseProfile(std::string_view text, std::string_view source);

// Reads and parses a profile file. Throws ProfileError, also when the file cannot be read.
Profile loadProfile(const std::string& path);

}  // namespace smcemu
