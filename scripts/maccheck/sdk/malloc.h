// macOS has no <malloc.h>.
#error "<malloc.h> is Linux-only"
