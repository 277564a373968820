#include "agent/text/time_text.h"

#include <time.h>

#include <vector>

#include "agent/platform/calendar.h"

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

}  // namespace

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
  return platform::utc_offset_of_local(static_cast<std::int64_t>(::time(nullptr)));
}

std::string POSIX_Time_To_ISO8601(std::int64_t t, const char* format) {
  struct tm tm;
  if (!platform::utc_fields(t, tm)) return std::string();
  return format_tm(tm, format);
}

std::string POSIX_Time_To_ISO8601_Local(std::int64_t t, const char* format) {
  struct tm tm;
  if (!platform::local_fields(t, tm)) return std::string();
  return format_tm(tm, format);
}
