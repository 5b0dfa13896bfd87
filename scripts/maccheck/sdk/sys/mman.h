// glibc's <sys/mman.h> without the Linux-only calls and flags.
#include_next <sys/mman.h>
#ifndef ORVANE_MAC_SYS_MMAN_H
#define ORVANE_MAC_SYS_MMAN_H
#undef MAP_POPULATE
#undef MAP_LOCKED
#undef MFD_CLOEXEC
#pragma GCC poison memfd_create mremap
#endif
