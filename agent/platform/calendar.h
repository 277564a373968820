// Calendar arithmetic of the clock calls, kept below every other layer.
#ifndef PLATFORM_CALENDAR_H
#define PLATFORM_CALENDAR_H

#include <cstdint>

// The proleptic Gregorian calendar without the C library's global state:
// days since 1970-01-01 of a date (month 1-12), the date of such a day, and
// the length of a month (0 for a month outside 1-12).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day);
void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month,
                     unsigned& day);
unsigned days_in_month(std::int64_t year, unsigned month);

struct tm;
namespace platform {
// The fields of POSIX time `t` in UTC, or in the machine's time zone as it
// is set now (read again on every call). False when the system cannot
// break `t` down (out of its range).
bool utc_fields(std::int64_t t, struct tm& out);
bool local_fields(std::int64_t t, struct tm& out);
// Seconds to add to local time to get UTC at `t` (west of Greenwich is
// positive, as C's `timezone`); 0 when unknown.
long utc_offset_of_local(std::int64_t t);
}  // namespace platform

#endif
