// Darwin's extended-locale calls: the C library's functions with an explicit locale_t
// argument. libc++ calls them on Apple targets; glibc has locale_t and only some of them.
#pragma once

#include <locale.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MB_CUR_MAX_L(loc) ___mb_cur_max_l(loc)
int ___mb_cur_max_l(locale_t);

struct lconv* localeconv_l(locale_t);

double strtod_l(const char*, char**, locale_t);
float strtof_l(const char*, char**, locale_t);
long double strtold_l(const char*, char**, locale_t);
long strtol_l(const char*, char**, int, locale_t);
long long strtoll_l(const char*, char**, int, locale_t);
unsigned long strtoul_l(const char*, char**, int, locale_t);
unsigned long long strtoull_l(const char*, char**, int, locale_t);

int snprintf_l(char*, size_t, locale_t, const char*, ...) __attribute__((format(printf, 4, 5)));
int asprintf_l(char**, locale_t, const char*, ...) __attribute__((format(printf, 3, 4)));
int sscanf_l(const char*, locale_t, const char*, ...) __attribute__((format(scanf, 3, 4)));
int vasprintf_l(char**, locale_t, const char*, va_list);

wint_t btowc_l(int, locale_t);
int wctob_l(wint_t, locale_t);
size_t mbrtowc_l(wchar_t*, const char*, size_t, mbstate_t*, locale_t);
int mbtowc_l(wchar_t*, const char*, size_t, locale_t);
size_t mbrlen_l(const char*, size_t, mbstate_t*, locale_t);
size_t wcrtomb_l(char*, wchar_t, mbstate_t*, locale_t);
size_t mbsrtowcs_l(wchar_t*, const char**, size_t, mbstate_t*, locale_t);
size_t mbsnrtowcs_l(wchar_t*, const char**, size_t, size_t, mbstate_t*, locale_t);
size_t wcsnrtombs_l(char*, const wchar_t**, size_t, size_t, mbstate_t*, locale_t);

#ifdef __cplusplus
}
#endif
