// macOS has no <byteswap.h>.
#error "<byteswap.h> is Linux-only"
