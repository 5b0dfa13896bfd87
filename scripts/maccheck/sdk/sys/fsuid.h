// macOS has no <sys/fsuid.h>.
#error "<sys/fsuid.h> is Linux-only"
