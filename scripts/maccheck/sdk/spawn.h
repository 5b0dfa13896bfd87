// glibc's <spawn.h> with Darwin's value of POSIX_SPAWN_SETSID (macOS 10.15 and later).
#include_next <spawn.h>
#ifndef ORVANE_MAC_SPAWN_H
#define ORVANE_MAC_SPAWN_H
#undef POSIX_SPAWN_SETSID
#define POSIX_SPAWN_SETSID 0x0400
#endif
