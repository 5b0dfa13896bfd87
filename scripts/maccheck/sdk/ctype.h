// glibc's <ctype.h> plus the character-class masks of Darwin's rune table, which libc++
// names in std::ctype_base on Apple targets.
#include_next <ctype.h>
#ifndef ORVANE_MAC_CTYPE_H
#define ORVANE_MAC_CTYPE_H
// glibc defines the locale_t classifiers as macros reading its own locale structure; on
// macOS they are functions, which libc++ calls with a null locale for the C locale.
#undef isalnum_l
#undef isalpha_l
#undef isblank_l
#undef iscntrl_l
#undef isdigit_l
#undef isgraph_l
#undef islower_l
#undef isprint_l
#undef ispunct_l
#undef isspace_l
#undef isupper_l
#undef isxdigit_l
#undef toupper_l
#undef tolower_l

#define _CTYPE_A 0x00000100L
#define _CTYPE_C 0x00000200L
#define _CTYPE_D 0x00000400L
#define _CTYPE_G 0x00000800L
#define _CTYPE_L 0x00001000L
#define _CTYPE_P 0x00002000L
#define _CTYPE_S 0x00004000L
#define _CTYPE_U 0x00008000L
#define _CTYPE_X 0x00010000L
#define _CTYPE_B 0x00020000L
#define _CTYPE_R 0x00040000L
#endif
