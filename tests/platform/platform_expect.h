// Helpers of the platform contract tests.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "known_difference.h"

namespace platform_test {

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
