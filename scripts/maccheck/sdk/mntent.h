// macOS has no <mntent.h>.
#error "<mntent.h> is Linux-only"
