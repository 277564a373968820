// Dates and times as text: reading ISO-8601, the local zone, formatting.
#include "agent/text/time_text.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "agent/platform/process_env.h"

TEST(Iso8601, ReadsZonesAndFractionsAndRefusesAnythingElse) {
  const std::int64_t t = 1709647629;  // 2024-03-05 14:07:09 UTC
  const std::pair<const char*, std::int64_t> valid[] = {
      {"2024-03-05T14:07:09Z", t}, {"2024-03-05 14:07:09", t},
      {"2024-03-05t14:07:09z", t}, {"2024-03-05T15:07:09+01:00", t},
      {"2024-03-05T15:07:09+0100", t}, {"2024-03-05T16:07:09+02", t},
      {"2024-03-05T09:37:09-04:30", t}, {"2024-03-05T14:07:09,5", t},
      {"2024-03-05T15:07:09.999999+01:00", t},
      {"2024-02-29T12:00:00Z", 1709208000}, {"2000-02-29T00:00:00", 951782400},
      {"1969-12-31T23:59:59.9Z", -1}, {"1900-01-01T00:00:00Z", -2208988800},
      {"0000-01-01T00:00:00Z", -62167219200},
      {"9999-12-31T23:59:59Z", 253402300799}};
  for (const auto& [text, expected] : valid) {
    std::int64_t out = 42;
    EXPECT_TRUE(iso8601_to_posix_time(text, out) && out == expected) << text;
  }
  const char* const invalid[] = {
      "", "2024-03-05", "2024-03-05T14:07", "2024-3-05T14:07:09",
      "20240305T140709Z", "2024-03-05X14:07:09", "2024-13-01T00:00:00",
      "2024-00-10T00:00:00", "2024-01-00T00:00:00", "2023-02-29T00:00:00",
      "1900-02-29T00:00:00", "2024-04-31T00:00:00", "2024-03-05T24:00:00",
      "2024-03-05T23:60:00", "2024-03-05T23:59:60Z", "2024-03-05T14:07:09+1",
      "2024-03-05T14:07:09+01:", "2024-03-05T14:07:09+010",
      "2024-03-05T14:07:09+24:00", "2024-03-05T14:07:09+01:60",
      "2024-03-05T14:07:09+01:00Z", "2024-03-05T14:07:09.",
      "2024-03-05T14:07:09.5.5", "2024-03-05T14:07:09Zjunk",
      "2024-03-05T14:07:09 ", " 2024-03-05T14:07:09", nullptr};
  for (const char* text : invalid) {
    std::int64_t out = 42;
    EXPECT_FALSE(iso8601_to_posix_time(text, out)) << (text ? text : "null");
    EXPECT_EQ(42, out);
  }
}

TEST(TimeText, FormatsUtcAndLocalTimeAsTZSays) {
  const char* const format = "%Y-%m-%d %H:%M:%S";
  EXPECT_EQ("1969-12-31 23:59:59", POSIX_Time_To_ISO8601(-1, format));

  const std::int64_t now = ::time(nullptr), summer = 1719835200;  // 2024-07-01 12:00 UTC
  platform::set_environment("TZ", "IST-5:30");
  EXPECT_EQ(-19800, get_timezone_offset());
  EXPECT_EQ("2024-07-01 17:30:00", POSIX_Time_To_ISO8601_Local(summer, format));
#ifndef _WIN32  // Windows' C runtime reads no POSIX summer time rules in TZ
  // With summer time, the offset is that of the instant formatted.
  platform::set_environment("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ("2024-07-01 14:00:00", POSIX_Time_To_ISO8601_Local(summer, format));
  EXPECT_EQ("2024-01-15 13:00:00", POSIX_Time_To_ISO8601_Local(1705320000, format));
#endif
  EXPECT_EQ(POSIX_Time_To_ISO8601_Local(now, format),
            POSIX_Time_To_ISO8601(now - get_timezone_offset(), format));
  platform::take_environment("TZ");  // back to the machine's zone
  ::tzset();
}
