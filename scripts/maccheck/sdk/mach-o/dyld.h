// The path of the running executable.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Copies the executable's path into buf; returns -1 and sets *bufsize to the size needed
// when buf is too small.
int _NSGetExecutablePath(char* buf, uint32_t* bufsize);

#ifdef __cplusplus
}
#endif
