// glibc's <errno.h> without the GNU program-name variables.
#include_next <errno.h>
#ifndef ORVANE_MAC_ERRNO_H
#define ORVANE_MAC_ERRNO_H
#pragma GCC poison program_invocation_name program_invocation_short_name
#endif
