// glibc's <fcntl.h> without the Linux-only flags and calls (splice and tee are left alone:
// std::list has a member of the first name, and both are hidden without _GNU_SOURCE).
#include_next <fcntl.h>
#ifndef ORVANE_MAC_FCNTL_H
#define ORVANE_MAC_FCNTL_H
#undef O_PATH
#undef O_TMPFILE
#undef O_NOATIME
#undef O_DIRECT
#undef O_LARGEFILE
#undef F_SETPIPE_SZ
#undef F_GETPIPE_SZ
#undef F_OFD_GETLK
#undef F_OFD_SETLK
#undef F_OFD_SETLKW
#undef AT_EMPTY_PATH
#pragma GCC poison fallocate posix_fadvise posix_fallocate vmsplice
#pragma GCC poison sync_file_range name_to_handle_at open_by_handle_at
#endif
