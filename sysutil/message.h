#pragma once

#include <stdarg.h>

// Diagnostic messages of the plain routines: formatted, followed by a
// "System error" line when errno is set, written to standard error and then
// to standard output. errno is left as found.

#ifdef __cplusplus
extern "C" {
#endif

// When set, every message starts with its last path component and ": ".
extern char* PROGNAME;

// Prints the message; ends the process with exit_status when non-zero,
// otherwise returns 0.
int message(int exit_status, const char* format, ...) __attribute__((format(printf, 2, 3)));
int vmessage(int exit_status, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

// The printing stage alone, for finished text.
int message_print(const char* text, int exit_status);

// A newly allocated formatted string (free it); ends the process with status
// 1 when memory runs out.
char* format_alloc(const char* format, ...) __attribute__((format(printf, 1, 2)));
char* vformat_alloc(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

#ifdef __cplusplus
}
#endif
