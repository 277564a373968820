// The dry run (the default) only writes the audit log, on the real platform
// too. That the system mode reaches the platform is seen through the clock
// and power handlers' tests.
#include <gtest/gtest.h>

#include "agent/eventutil/event_trigger.h"
#include "agent/systemutil/system_actions.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/temp_dir.h"
#include "tests/support/files.h"

TEST(SystemClock, DryRunOnlyWritesTheAuditLog) {
  ASSERT_EQ(System_Options::DRY_RUN, System_Options::instance()->clock.load());
  Temp_Dir dir;
  Installed<Audit_Log, Audit_Log> log;
  log.set_path(dir / "audit.log");
  const SYSTEMTIME st = {2001, 2, 0, 3, 4, 5, 6, 789};
  ASSERT_TRUE(systemutil::set_system_time(st));

  // One event, and nothing else; the line with its time taken out.
  const std::string text = read_file(dir / "audit.log");
  std::string line = text;
  const std::size_t at = line.find("\"time\":");
  if (at != std::string::npos) line.erase(at, line.find(',', at) + 1 - at);
  EXPECT_EQ(R"({"address":"","code":"0x0","succeeded":true,"user":"",)"
            R"("values":{"action":"set_system_time","mode":"dry-run",)"
            R"("utc":"2001-02-03 04:05:06"}}
)",
            line) << text;
}

TEST(SystemPower, DryRunOnlyRecords) {
  Installed<Platform_API, Fake_Platform> fake;
  EXPECT_EQ(0, systemutil::system_reboot());
  EXPECT_EQ(0, systemutil::system_shutdown());
  EXPECT_TRUE(fake.calls().empty());
}
