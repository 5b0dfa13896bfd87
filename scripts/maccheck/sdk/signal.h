// glibc's <signal.h> without what macOS lacks: real-time signals and their waits.
#include_next <signal.h>
#ifndef ORVANE_MAC_SIGNAL_H
#define ORVANE_MAC_SIGNAL_H
#undef SIGRTMIN
#undef SIGRTMAX
#undef SIGPOLL
#undef SIGPWR
#pragma GCC poison sigtimedwait sigwaitinfo sigqueue sighandler_t
#endif
