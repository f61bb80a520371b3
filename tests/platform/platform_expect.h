// Helpers of the platform contract tests.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace platform_test {

// True when the program runs under Wine (the win64 leg).
inline bool UnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

// The native form of a path written with '/'.
inline std::string Native(const std::string &path) {
#ifdef _WIN32
  std::string out = path;
  for (char &c : out) {
    if (c == '/') c = '\\';
  }
  return out;
#else
  return path;
#endif
}

}  // namespace platform_test

// An expectation of Windows behaviour that Wine is known to miss, like Wine's own
// todo_wine: under Wine a mismatch is recorded as a known platform difference (test property
// "known_wine_difference") instead of a failure; everywhere else it is an ordinary EXPECT_EQ.
#define EXPECT_EQ_EXCEPT_WINE(expected, actual, reason)                                \
  do {                                                                                 \
    if (platform_test::UnderWine()) {                                                  \
      if (!((expected) == (actual))) {                                                 \
        ::testing::Test::RecordProperty("known_wine_difference", reason);              \
      }                                                                                \
    } else {                                                                           \
      EXPECT_EQ(expected, actual) << "(Wine differs here: " << (reason) << ")";        \
    }                                                                                  \
  } while (0)
