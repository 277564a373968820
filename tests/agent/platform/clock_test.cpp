// The clock calls: FILETIME and SYSTEMTIME conversions, and SetSystemTime,
// which here only ever runs against the fake.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <tuple>

#include "agent/text/time_text.h"
#include "agent/platform/calendar.h"
#include "tests/fakes/fake_platform.h"

namespace {

// "YYYY-MM-DD HH:MM:SS.mmm wD", to compare whole SYSTEMTIMEs in one line.
std::string text_of(const SYSTEMTIME& st) {
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u w%u",
                unsigned{st.wYear}, unsigned{st.wMonth}, unsigned{st.wDay},
                unsigned{st.wHour}, unsigned{st.wMinute}, unsigned{st.wSecond},
                unsigned{st.wMilliseconds}, unsigned{st.wDayOfWeek});
  return text;
}

// The SYSTEMTIME of a POSIX time, or "refused" from either step.
std::string convert(std::int64_t seconds, long nanoseconds) {
  FILETIME ft;
  SYSTEMTIME st;
  if (!platform::posix_time_to_filetime(seconds, nanoseconds, ft))
    return "refused";
  if (!FileTimeToSystemTime(&ft, &st))
    return GetLastError() == ERROR_INVALID_PARAMETER ? "refused" : "bad error";
  return text_of(st);
}

}  // namespace

TEST(FileTime, ConvertsFrom1601To30827) {
  const std::int64_t first = -11644473600;  // 1601-01-01
  const std::int64_t end = days_from_civil(30828, 1, 1) * 86400;
  const std::tuple<std::int64_t, long, const char*> cases[] = {
      {first, 0, "1601-01-01 00:00:00.000 w1"},
      {0, 1500000000, "1970-01-01 00:00:01.500 w4"},  // seconds carried
      {0, -1, "1969-12-31 23:59:59.999 w3"},
      {1709647629, 123999999, "2024-03-05 14:07:09.123 w2"},
      {end - 1, 999999999, "30827-12-31 23:59:59.999 w5"},
      {first - 1, 0, "refused"}, {first, -1, "refused"},
#ifndef _WIN32  // Windows' own conversion goes on into 30828
      {end, 0, "refused"},
#endif
      {INT64_MIN, 0, "refused"}, {INT64_MAX, 0, "refused"}};
  for (const auto& [seconds, nanoseconds, text] : cases)
    EXPECT_EQ(text, convert(seconds, nanoseconds)) << seconds;
#ifndef _WIN32
  FILETIME ft = {0xFFFFFFFFu, 0x7FFFFFFFu};
  SYSTEMTIME st;
  EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
  EXPECT_FALSE(FileTimeToSystemTime(nullptr, &st));
#endif

  // Against the C library, in uneven steps so every field varies.
  for (std::int64_t t = first; t < 253402300799; t += 86400 * 37 + 3671) {
    const std::string expected = POSIX_Time_To_ISO8601(t, "%Y-%m-%d %H:%M:%S") +
                                 ".000 w" + POSIX_Time_To_ISO8601(t, "%w");
    if (convert(t, 0) != expected) {
      ADD_FAILURE() << convert(t, 0) << " != " << expected;
      return;  // one report, not thousands
    }
  }
}

// On Windows SetSystemTime is the system's own, past any fake, and would
// set the machine's clock: there the seam it is built on elsewhere stands in.
static BOOL set_clock(const SYSTEMTIME* t) {
#ifdef _WIN32
  if (!t) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return platform::set_system_clock(*t);
#else
  return SetSystemTime(t);
#endif
}

TEST(SetSystemTime, ValidTimesReachThePlatformOthersAreRefused) {
  Installed<Platform_API, Fake_Platform> fake;
  // Year, month, weekday (ignored), day, hour, minute, second, milliseconds.
  const SYSTEMTIME st = {2024, 2, 0, 29, 14, 7, 9, 999};
  ASSERT_TRUE(set_clock(&st));
  EXPECT_EQ(text_of(st), text_of(fake.last_time));

  const SYSTEMTIME refused[] = {
      {1600, 12, 0, 31, 0, 0, 0, 0}, {30828, 1, 0, 1, 0, 0, 0, 0},  {2024, 13, 0, 1, 0, 0, 0, 0},
      {2023, 2, 0, 29, 0, 0, 0, 0},  {2024, 4, 0, 31, 0, 0, 0, 0},  {2024, 1, 0, 1, 24, 0, 0, 0},
      {2024, 1, 0, 1, 0, 60, 0, 0},  {2024, 1, 0, 1, 0, 0, 60, 0},  {2024, 1, 0, 1, 0, 0, 0, 1000}};
  for (const SYSTEMTIME& bad : refused) {
    SetLastError(0);
    EXPECT_FALSE(set_clock(&bad) || GetLastError() != ERROR_INVALID_PARAMETER)
        << text_of(bad);
  }
  EXPECT_FALSE(set_clock(nullptr));
  EXPECT_EQ(1u, fake.calls().size());  // none of those got through
}
