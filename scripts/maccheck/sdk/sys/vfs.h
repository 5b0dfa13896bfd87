// macOS has no <sys/vfs.h>.
#error "<sys/vfs.h> is Linux-only"
