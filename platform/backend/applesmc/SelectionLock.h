// Where root processes of the stand-in take turns at the driver's key selection: a lock file
// in the root-owned directory of Orvane's runtime files (made by the first root process that
// needs it, and writable by the sandboxed service), so no user can plant it or hold its lock.
// Two readers of the same keys could otherwise move the selection away and back unseen.
#pragma once

#include <string>

#include "NonCopyable.h"

namespace applesmc {

class SelectionLock : NonCopyable {
  public:
    SelectionLock(std::string path, bool privileged)
        : path_(std::move(path)), privileged_(privileged) {}
    ~SelectionLock();

    // Whether the lock was taken; without it the checks of each access still hold.
    bool lock();
    void unlock();

  private:
    std::string path_;
    bool privileged_;
    int fd_ = -1;
};

}  // namespace applesmc
