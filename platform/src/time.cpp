// Time: local wall-clock time with milliseconds, a 32-bit millisecond tick count, Sleep.
#include <errno.h>
#include <time.h>

#include "platform_internal.h"

extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME out) {
  if (!out) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  time_t seconds = now.tv_sec;
  struct tm local;
  localtime_r(&seconds, &local);
  out->wYear = static_cast<WORD>(local.tm_year + 1900);
  out->wMonth = static_cast<WORD>(local.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  out->wDay = static_cast<WORD>(local.tm_mday);
  out->wHour = static_cast<WORD>(local.tm_hour);
  out->wMinute = static_cast<WORD>(local.tm_min);
  out->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
  out->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

extern "C" DWORD WINAPI GetTickCount(void) {
  // Milliseconds since boot, suspended time included, as Windows counts them.
  struct timespec now;
  if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);
}

extern "C" void WINAPI Sleep(DWORD milliseconds) {
  struct timespec wait;
  wait.tv_sec = static_cast<time_t>(milliseconds / 1000);
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}
