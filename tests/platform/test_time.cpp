// Time: local time with milliseconds and weekday, the tick count, Sleep.
#include <windows.h>

#include <gtest/gtest.h>

#include <ctime>

namespace {

TEST(Time, LocalTimeMatchesTheCalendar) {
  SYSTEMTIME st;
  time_t before = time(nullptr);
  GetLocalTime(&st);
  time_t after = time(nullptr);
  struct tm local;
#ifdef _WIN32
  localtime_s(&local, &after);
#else
  localtime_r(&after, &local);
#endif
  EXPECT_EQ(local.tm_year + 1900, st.wYear);
  EXPECT_EQ(local.tm_mon + 1, st.wMonth);
  EXPECT_EQ(local.tm_mday, st.wDay);
  EXPECT_EQ(local.tm_wday, st.wDayOfWeek);  // 0 = Sunday
  EXPECT_EQ(local.tm_hour, st.wHour);
  if (before == after) {
    EXPECT_EQ(local.tm_min, st.wMinute);
    EXPECT_EQ(local.tm_sec, st.wSecond);
  }
  EXPECT_LT(st.wMilliseconds, 1000);
}

TEST(Time, TickCountAdvancesWithSleep) {
  DWORD start = GetTickCount();
  Sleep(120);
  DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 100u);
  EXPECT_LT(elapsed, 5000u);
}

}  // namespace
