// macOS has no <error.h>.
#error "<error.h> is Linux-only"
