// macOS has no <sys/epoll.h>.
#error "<sys/epoll.h> is Linux-only"
