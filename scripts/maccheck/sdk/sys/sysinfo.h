// macOS has no <sys/sysinfo.h>.
#error "<sys/sysinfo.h> is Linux-only"
