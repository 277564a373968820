// POSIX times (signed 64-bit seconds since 1970-01-01 00:00:00 UTC) to and
// from text.
#ifndef TEXT_TIME_TEXT_H
#define TEXT_TIME_TEXT_H

#include <cstdint>
#include <string>

// Reads an ISO-8601 date and time: "YYYY-MM-DDTHH:MM:SS" or with a space in
// place of the T, optional fractional seconds (dropped), and "Z" or a
// "+HH:MM" / "-HH:MM" / "+HHMM" / "+HH" zone; without a zone the text is
// UTC. False, leaving `out` alone, for anything else, including fields out
// of range and trailing text.
bool iso8601_to_posix_time(const char* text, std::int64_t& out);

// Seconds that, subtracted from a POSIX time, give the local wall-clock
// time when the result is formatted as UTC (-3600 for UTC+01:00). Follows
// the zone in effect now (TZ included).
long get_timezone_offset();

// `t` formatted with strftime `format` in UTC, or in local time. "" when
// the time cannot be represented.
std::string POSIX_Time_To_ISO8601(std::int64_t t, const char* format);
std::string POSIX_Time_To_ISO8601_Local(std::int64_t t, const char* format);

#endif
