// glibc's <sys/socket.h> as macOS has it: SO_NOSIGPIPE in, the Linux-only names out.
// MSG_NOSIGNAL is taken out too, so the code path for systems without it is compiled.
#include_next <sys/socket.h>
#ifndef ORVANE_MAC_SYS_SOCKET_H
#define ORVANE_MAC_SYS_SOCKET_H
// Suppresses SIGPIPE for writes on this socket (macOS socket option).
#define SO_NOSIGPIPE 0x1022
#undef MSG_NOSIGNAL
#undef MSG_CMSG_CLOEXEC
#undef SO_PEERCRED
#undef SO_PASSCRED
#undef SO_PEERSEC
#undef SO_PEERGROUPS
#undef SOCK_CLOEXEC
#undef SOCK_NONBLOCK
#pragma GCC poison accept4 ucred SOCK_CLOEXEC SOCK_NONBLOCK recvmmsg sendmmsg
#endif
