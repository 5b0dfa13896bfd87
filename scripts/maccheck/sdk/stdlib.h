// glibc's <stdlib.h> without the GNU extensions macOS lacks (qsort_r differs there).
#include_next <stdlib.h>
#ifndef ORVANE_MAC_STDLIB_H
#define ORVANE_MAC_STDLIB_H
#pragma GCC poison secure_getenv canonicalize_file_name clearenv on_exit qsort_r
#endif
