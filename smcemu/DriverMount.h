// Serves a DriverModel as a file system (FUSE) at a mount point, so that programs reach the
// emulated machine through plain file reads and writes, as through the driver's directory.
// Files belong to root, writable ones with mode 0644 and the others 0444; the kernel checks
// those modes for every user (the tree is open to all users), and a write reaches the model
// with the caller's user id. Contents are produced by each read from offset 0, so sizes need
// not be known in advance; one write is one store.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "DriverModel.h"
#include "NonCopyable.h"

struct fuse;

namespace smcemu {

class DriverMount : NonCopyable {
  public:
    DriverMount(DriverModel& model, std::string mountPoint);
    ~DriverMount();

    // Mounts the tree and starts serving it on a thread of its own. Throws DriverError
    // when the mount fails.
    void start();

    // Stops serving and unmounts; files still open fail from then on. Safe to call more than
    // once.
    void stop();

    struct State;  // what the file system's handlers reach: the model and the open files

  private:
    void serve();

    std::unique_ptr<State> state_;
    std::string mountPoint_;
    struct fuse* fuse_ = nullptr;
    int wakePipe_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace smcemu
