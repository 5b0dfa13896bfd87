// glibc's <sys/random.h>: macOS has getentropy here, not getrandom.
#include_next <sys/random.h>
#ifndef ORVANE_MAC_SYS_RANDOM_H
#define ORVANE_MAC_SYS_RANDOM_H
#undef GRND_NONBLOCK
#undef GRND_RANDOM
#undef GRND_INSECURE
#pragma GCC poison getrandom
#endif
