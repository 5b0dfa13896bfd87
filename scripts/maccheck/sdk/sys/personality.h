// macOS has no <sys/personality.h>.
#error "<sys/personality.h> is Linux-only"
