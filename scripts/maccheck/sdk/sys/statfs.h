// macOS has no <sys/statfs.h>.
#error "<sys/statfs.h> is Linux-only"
