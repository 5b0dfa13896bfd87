// macOS has no <sys/timerfd.h>.
#error "<sys/timerfd.h> is Linux-only"
