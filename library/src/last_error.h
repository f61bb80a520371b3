// The result of a failed platform call.
#pragma once
#include <windows.h>

// The calling thread's last error, or fallback when the failed call left it at 0 (a
// result of 0 would read as success).
inline int LastErrorOr(DWORD fallback) {
  DWORD error = GetLastError();
  return static_cast<int>(error != 0 ? error : fallback);
}
