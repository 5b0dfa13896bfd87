// glibc's <string.h> without the GNU extensions macOS lacks.
#include_next <string.h>
#ifndef ORVANE_MAC_STRING_H
#define ORVANE_MAC_STRING_H
#pragma GCC poison memrchr mempcpy rawmemchr strverscmp strchrnul
#endif
