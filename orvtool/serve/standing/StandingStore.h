// The file that keeps the fans' curves and floors across restarts and boots, in the daemon's
// root-owned state directory. Its format, version 1:
//
//   orvane-curves 1
//   # comment lines and blank lines are passed over
//   curve 0 max:TC0P,TG0P 40:1500 60:3000 85:5700
//   floor 1 2000
//
// one setting a line, in the words of the request that made it (protocol/Curves.h); a later
// line for the same fan wins. The file is replaced as a whole (written beside it, synced and
// renamed over it), so a reader finds the old file or the new one, never a part.
//
// Root never follows a link here: the directory is made when missing and used only when it
// is a directory owned by this process's user that nobody else may write, and the file only
// when it is a regular file of that user.
#pragma once

#include <string>
#include <vector>

#include "Curves.h"

namespace orvtool {

class StandingStore {
  public:
    static constexpr const char* kVersionLine = "orvane-curves 1";
    // A file larger than this is no file this daemon wrote.
    static constexpr std::size_t kMaxBytes = 64 * 1024;

    // `dir` empty: nothing is read or stored (a daemon without its state directory).
    explicit StandingStore(std::string dir) : dir_(std::move(dir)) {}

    struct Loaded {
        std::vector<protocol::Standing> settings;
        // Lines that are no setting: their number (from 1) and text.
        std::vector<std::pair<int, std::string>> skipped;
        // The file is of another version: nothing is run from it, and it is not replaced.
        bool otherFormat = false;
        // The directory or the file is not safe to use (see above): nothing is stored.
        bool unsafe = false;
        int err = 0;  // a failure to read, other than a missing file
    };
    Loaded load();

    // Replaces the file with these settings; 0, or the errno of the step that failed (the old
    // file then stays as it was). Refused while the stored file is of another format
    // (EEXIST) or the directory or file is unsafe (EPERM).
    int save(const std::vector<protocol::Standing>& settings);

    bool storing() const { return !dir_.empty(); }
    const std::string& dir() const { return dir_; }

    // The text of a file holding these settings, and the settings of a file's text.
    static std::string format(const std::vector<protocol::Standing>& settings);
    static Loaded parse(const std::string& text);

  private:
    // The directory, made when missing; -1 with errno set when it is missing and cannot be
    // made, or unsafe (EPERM).
    int openDir();

    std::string dir_;
    int locked_ = 0;  // EEXIST (another format) or EPERM (unsafe): the file is left alone
};

}  // namespace orvtool
