// glibc's <unistd.h> with getpeereid, which macOS declares here, and the Linux-only names
// made errors.
#include_next <unistd.h>
#ifndef ORVANE_MAC_UNISTD_H
#define ORVANE_MAC_UNISTD_H
#ifdef __cplusplus
extern "C" {
#endif
// The effective user and group of the peer of a connected Unix-domain socket.
int getpeereid(int socket, uid_t* euid, gid_t* egid);
#ifdef __cplusplus
}
#endif
#pragma GCC poison pipe2 dup3 fdatasync syncfs gettid execvpe get_current_dir_name
#pragma GCC poison getresuid getresgid setresuid setresgid euidaccess eaccess group_member
#endif
