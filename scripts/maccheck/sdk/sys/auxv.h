// macOS has no <sys/auxv.h>.
#error "<sys/auxv.h> is Linux-only"
