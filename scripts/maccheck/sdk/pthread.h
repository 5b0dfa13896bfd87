// glibc's <pthread.h> without what macOS lacks or declares differently (its
// pthread_setname_np names the calling thread only).
#include_next <pthread.h>
#ifndef ORVANE_MAC_PTHREAD_H
#define ORVANE_MAC_PTHREAD_H
#pragma GCC poison pthread_setaffinity_np pthread_getaffinity_np pthread_timedjoin_np
#pragma GCC poison pthread_tryjoin_np pthread_getattr_np pthread_mutex_timedlock
#pragma GCC poison pthread_spin_init pthread_spin_lock pthread_spin_trylock pthread_spin_unlock
#pragma GCC poison pthread_barrier_init pthread_barrier_wait pthread_barrier_destroy
#pragma GCC poison pthread_condattr_setclock pthread_condattr_getclock
#pragma GCC poison pthread_setname_np pthread_getname_np
#endif
