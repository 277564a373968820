#include "agent/mdrt/time_text.h"

#include <time.h>

#include <vector>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Exactly `width` decimal digits. The loop stops at the terminating NUL, so
// it never reads past the text.
bool read_digits(const char*& p, int width, int& out) {
  int value = 0;
  for (int i = 0; i < width; ++i) {
    if (!is_digit(p[i])) return false;
    value = value * 10 + (p[i] - '0');
  }
  p += width;
  out = value;
  return true;
}

bool read_char(const char*& p, char c) {
  if (*p != c) return false;
  ++p;
  return true;
}

// "Z", "+HH:MM", "+HHMM", "+HH" (or with "-"), or nothing: seconds east of
// UTC.
bool read_zone(const char*& p, long& offset) {
  offset = 0;
  if (*p == 'Z' || *p == 'z') {
    ++p;
    return true;
  }
  if (*p != '+' && *p != '-') return true;
  const long sign = *p == '-' ? -1 : 1;
  ++p;
  int hours = 0, minutes = 0;
  if (!read_digits(p, 2, hours)) return false;
  if (*p == ':' || is_digit(*p)) {
    if (*p == ':') ++p;
    if (!read_digits(p, 2, minutes)) return false;
  }
  if (hours > 23 || minutes > 59) return false;
  offset = sign * (hours * 3600L + minutes * 60L);
  return true;
}

std::string format_tm(const struct tm& tm, const char* format) {
  if (!format || !*format) return std::string();
  // strftime gives 0 both for "did not fit" and for an empty result, so
  // grow a few times and then settle for "".
  for (std::size_t size = 64; size <= 16384; size *= 4) {
    std::vector<char> buffer(size);
    const std::size_t n = ::strftime(buffer.data(), size, format, &tm);
    if (n > 0) return std::string(buffer.data(), n);
  }
  return std::string();
}

bool to_time_t(std::int64_t t, time_t& out) {
  out = static_cast<time_t>(t);
  return static_cast<std::int64_t>(out) == t;
}

}  // namespace

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

bool iso8601_to_posix_time(const char* text, std::int64_t& out) {
  if (!text) return false;
  const char* p = text;
  int year, month, day, hour, minute, second;
  if (!read_digits(p, 4, year) || !read_char(p, '-') ||
      !read_digits(p, 2, month) || !read_char(p, '-') ||
      !read_digits(p, 2, day))
    return false;
  if (*p != 'T' && *p != 't' && *p != ' ') return false;
  ++p;
  if (!read_digits(p, 2, hour) || !read_char(p, ':') ||
      !read_digits(p, 2, minute) || !read_char(p, ':') ||
      !read_digits(p, 2, second))
    return false;
  // Fractions are dropped; the fields are never negative, so dropping them
  // rounds down also before 1970.
  if (*p == '.' || *p == ',') {
    ++p;
    if (!is_digit(*p)) return false;
    while (is_digit(*p)) ++p;
  }
  long offset = 0;
  if (!read_zone(p, offset) || *p) return false;

  // POSIX time has no leap seconds, so :60 is refused like any other
  // out-of-range field.
  if (month < 1 || month > 12 ||
      day < 1 || static_cast<unsigned>(day) > days_in_month(year, month) ||
      hour > 23 || minute > 59 || second > 59)
    return false;

  out = days_from_civil(year, month, day) * 86400 + hour * 3600 +
        minute * 60 + second - offset;
  return true;
}

long get_timezone_offset() {
  // localtime_r need not look at TZ again; tzset makes it.
  ::tzset();
  const time_t now = ::time(nullptr);
  struct tm local;
  if (!::localtime_r(&now, &local)) return 0;
  return -local.tm_gmtoff;
}

std::string POSIX_Time_To_ISO8601(std::int64_t t, const char* format) {
  time_t tt;
  struct tm tm;
  if (!to_time_t(t, tt) || !::gmtime_r(&tt, &tm)) return std::string();
  return format_tm(tm, format);
}

std::string POSIX_Time_To_ISO8601_Local(std::int64_t t, const char* format) {
  ::tzset();
  time_t tt;
  struct tm tm;
  if (!to_time_t(t, tt) || !::localtime_r(&tt, &tm)) return std::string();
  return format_tm(tm, format);
}
