// macOS has no <sys/eventfd.h>.
#error "<sys/eventfd.h> is Linux-only"
