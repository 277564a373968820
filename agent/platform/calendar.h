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

#endif
