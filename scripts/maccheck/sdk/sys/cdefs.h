// clang predefines __nonnull as the nullability qualifier for Apple targets; glibc's
// headers use the name for their nonnull-argument attribute and define it themselves
// (once: glibc's header is guarded, so the name is taken back only before it).
#ifndef ORVANE_MAC_SYS_CDEFS_H
#define ORVANE_MAC_SYS_CDEFS_H
#undef __nonnull
#endif
#include_next <sys/cdefs.h>
