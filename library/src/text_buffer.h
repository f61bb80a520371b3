// Bounded text in fixed buffers.
#pragma once
#include <string.h>

// Appends text to the NUL-terminated dest in a buffer of size bytes. False, with dest
// unchanged, when the result would not fit.
inline bool AppendText(char *dest, size_t size, const char *text) {
  size_t have = strnlen(dest, size);
  size_t add = strlen(text);
  if (have >= size || add >= size - have) return false;
  memcpy(dest + have, text, add + 1);
  return true;
}
