// Trace log: one file per weekday in LUMOX_LOG beside the library file, when the
// settings file switches it on. Best effort: never fails its caller.
#pragma once
#include <windows.h>
#include <stddef.h>

#if defined(__GNUC__)
#define LUMOX_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define LUMOX_PRINTF(f, a)
#endif

void TraceLog(const char *tag, const char *format, ...) LUMOX_PRINTF(2, 3);

// Copies url into out for a trace line, with the password of a "user:password@" part
// replaced by "***". A null url gives "(null)". Always terminates out (size > 0); a url
// longer than out is cut, which the trace line's own 1280-byte limit makes harmless.
void MaskUrlForTrace(const char *url, char *out, size_t size);
// A buffer of this size holds as much of a URL as any trace line can show.
constexpr size_t kTraceUrlSize = 1281;

// The pieces TraceLog is made of, usable with a chosen day file and time.
// Time stamp and tag: "YYYY.MM.DD DDD hh:mm:ss.mmm    TG"; returns its length or -1.
int FormatTraceHeader(const SYSTEMTIME *time, const char *tag, char *out, size_t size);
// Writes one entry (separator first for "ST") into dayFile, emptying a file whose first
// line carries another date. message is cut to 1280 bytes and split into 128-byte pieces.
void WriteTraceEntry(const char *dayFile, const SYSTEMTIME *time, const char *tag,
                     const char *message);
