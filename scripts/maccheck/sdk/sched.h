// glibc's <sched.h> without the Linux namespace and affinity calls.
#include_next <sched.h>
#ifndef ORVANE_MAC_SCHED_H
#define ORVANE_MAC_SCHED_H
#pragma GCC poison unshare setns sched_getaffinity sched_setaffinity sched_getcpu
#endif
