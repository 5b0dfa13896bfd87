// glibc's <poll.h> without ppoll, which macOS lacks.
#include_next <poll.h>
#ifndef ORVANE_MAC_POLL_H
#define ORVANE_MAC_POLL_H
#pragma GCC poison ppoll
#endif
