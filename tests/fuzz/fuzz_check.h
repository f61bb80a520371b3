// A check of the fuzz targets: a broken expectation aborts with its line, which libFuzzer
// reports as a crash and keeps the input that caused it.
#pragma once
#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                      \
    }                                                                               \
  } while (0)
