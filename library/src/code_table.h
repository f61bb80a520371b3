// The one table of result-code meanings, read by the message exports and by `lumox`.
#pragma once
#include <stddef.h>

struct CodeMeaning {
  int code;
  // The library's Japanese message (UTF-16, converted to the ANSI code page when handed
  // out), or null where the code has only the general message.
  const char16_t *message;
  // A short English description for codes without a message of their own, or null.
  const char *description;
};

// The meaning of `code`, or null when the table has no entry for it.
const CodeMeaning *FindCodeMeaning(int code);

// The whole table, sorted by code, each code once; `*count` receives its length.
const CodeMeaning *AllCodeMeanings(size_t *count);
