// The library's Japanese message of a result code (from the table of code meanings).
#pragma once
#include <stddef.h>

// The fallback text for codes without a message of their own (Shift-JIS, 28 bytes).
extern const char kFallbackMessage[];

// Writes the message of code, converted to the ANSI code page, into buffer (NUL-terminated).
// Returns the message's length in bytes, 0 when the code has none, or -1 when the message
// does not fit in size bytes with its terminator (buffer is then untouched).
int LoadMessage(int code, char *buffer, size_t size);
