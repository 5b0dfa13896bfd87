// Process-level safety around the SMC: standard streams that cannot alias other
// descriptors, and write sequences that a terminating signal cannot cut in half.
#pragma once

#include <signal.h>

#include "NonCopyable.h"

namespace orvtool {

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that a socket
// opened later (the SMC connection, the daemon's listener or a client) never becomes
// standard output or standard error and receives printed text. Returns the descriptors
// that were closed, as bits (1 << fd).
int ensureStandardStreams();

// Holds back SIGINT, SIGTERM, SIGHUP and SIGQUIT for its lifetime. Around a sequence of
// SMC writes (mode byte, then target) an interrupt then takes effect after the sequence,
// instead of leaving a fan forced with its old target.
class DeferredStopSignals : NonCopyable {
  public:
    DeferredStopSignals();
    ~DeferredStopSignals();

  private:
    sigset_t previous_;
};

}  // namespace orvtool
