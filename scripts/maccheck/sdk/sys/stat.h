// glibc's <sys/stat.h> with Darwin's names of the time fields; Linux's names are errors.
#include_next <sys/stat.h>
#ifndef ORVANE_MAC_SYS_STAT_H
#define ORVANE_MAC_SYS_STAT_H
#define st_atimespec st_atim
#define st_mtimespec st_mtim
#define st_ctimespec st_ctim
#pragma GCC poison st_atim st_mtim st_ctim statx
#endif
