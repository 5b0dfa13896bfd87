// macOS has no <sys/signalfd.h>.
#error "<sys/signalfd.h> is Linux-only"
