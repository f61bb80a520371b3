// Trace log: one file per weekday in LUMOX_LOG beside the library file, when the
// settings file switches it on. Best effort: never fails its caller.
#pragma once
#include <stddef.h>

#if defined(__GNUC__)
#define LUMOX_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define LUMOX_PRINTF(f, a)
#endif

void TraceLog(const char *tag, const char *format, ...) LUMOX_PRINTF(2, 3);

// Copies url into out for a trace line, with the password of a "user:password@" part
// replaced by "***". A null url gives "(null)". Always terminates out (size > 0).
void MaskUrlForTrace(const char *url, char *out, size_t size);
