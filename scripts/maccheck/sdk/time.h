// glibc's <time.h> without what macOS lacks: POSIX timers, clock_nanosleep and the
// Linux-only clocks.
#include_next <time.h>
#ifndef ORVANE_MAC_TIME_H
#define ORVANE_MAC_TIME_H
#undef CLOCK_BOOTTIME
#undef CLOCK_BOOTTIME_ALARM
#undef CLOCK_REALTIME_ALARM
#undef CLOCK_MONOTONIC_COARSE
#undef CLOCK_REALTIME_COARSE
#undef CLOCK_TAI
#pragma GCC poison timer_create timer_settime timer_gettime timer_delete timer_getoverrun
#pragma GCC poison clock_nanosleep
#endif
