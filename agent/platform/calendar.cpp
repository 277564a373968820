#include "agent/platform/calendar.h"

#include <time.h>

#include <climits>

std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  // Counted in 400-year eras of 146097 days from 0000-03-01, so that the
  // leap day is the last day of each counted year.
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year =
      (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 -
                              year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month,
                     unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era = (day_of_era - day_of_era / 1460 +
                                day_of_era / 36524 - day_of_era / 146096) /
                               365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2);
}

unsigned days_in_month(std::int64_t year, unsigned month) {
  static const unsigned lengths[] = {31, 28, 31, 30, 31, 30,
                                     31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month != 2) return lengths[month - 1];
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return leap ? 29 : 28;
}

namespace platform {

namespace {

bool to_time_t(std::int64_t t, time_t& out) {
  out = static_cast<time_t>(t);
  return static_cast<std::int64_t>(out) == t;
}

}  // namespace

bool utc_fields(std::int64_t t, struct tm& out) {
#ifdef _WIN32
  // gmtime_s knows only 1970 to 3000; the calendar knows every year.
  std::int64_t days = t / 86400, seconds = t % 86400;
  if (seconds < 0) {
    --days;
    seconds += 86400;
  }
  std::int64_t year;
  unsigned month, day;
  civil_from_days(days, year, month, day);
  if (year - 1900 < INT_MIN || year - 1900 > INT_MAX) return false;
  out = tm{};
  out.tm_year = static_cast<int>(year - 1900);
  out.tm_mon = static_cast<int>(month) - 1;
  out.tm_mday = static_cast<int>(day);
  out.tm_hour = static_cast<int>(seconds / 3600);
  out.tm_min = static_cast<int>(seconds / 60 % 60);
  out.tm_sec = static_cast<int>(seconds % 60);
  out.tm_wday = static_cast<int>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
  out.tm_yday = static_cast<int>(days - days_from_civil(year, 1, 1));
  return true;
#else
  time_t tt;
  if (!to_time_t(t, tt)) return false;
  return ::gmtime_r(&tt, &out) != nullptr;
#endif
}

bool local_fields(std::int64_t t, struct tm& out) {
  time_t tt;
  if (!to_time_t(t, tt)) return false;
#ifdef _WIN32
  ::_tzset();
  return ::localtime_s(&out, &tt) == 0;
#else
  // localtime_r need not look at TZ again; tzset makes it.
  ::tzset();
  return ::localtime_r(&tt, &out) != nullptr;
#endif
}

long utc_offset_of_local(std::int64_t t) {
  struct tm local;
  if (!local_fields(t, local)) return 0;
#ifdef _WIN32
  // The local fields read as if they were UTC, against the real instant.
  const std::int64_t as_utc =
      days_from_civil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                      static_cast<unsigned>(local.tm_mday)) * 86400 +
      local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  return static_cast<long>(t - as_utc);
#else
  return -local.tm_gmtoff;
#endif
}

}  // namespace platform
