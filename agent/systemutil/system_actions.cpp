#include "agent/systemutil/system_actions.h"

#include <ace/Log_Msg.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "agent/eventutil/event_trigger.h"

template <>
System_Options* default_service<System_Options>() {
  static System_Options* options = new System_Options;
  return options;
}
template class Service_Instance_T<System_Options>;

namespace systemutil {

namespace {

// The audit event of an action a dry run did not carry out. TRUE, or FALSE
// with ENOMEM.
BOOL record_dry_run(const char* action, const char* key, const char* value) {
  try {
    Event_Trigger event(0, "", "", 3);
    event.bind("action", action);
    event.bind(key, value);
    event.bind("mode", "dry-run");
    event.succeed();
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}

// One way for both power actions; they differ only in what they ask for.
int power_off(bool restart) {
  if (System_Options::instance()->power == System_Options::SYSTEM)
    return Platform_API::instance()->power_off(restart);
  const char* action = restart ? "system_reboot" : "system_shutdown";
  ACE_DEBUG((LM_NOTICE, ACE_TEXT("%N:%l: %C in dry-run mode: recorded, the "
                                 "machine is left running\n"), action));
  return record_dry_run(action, "mode", "dry-run") ? 0 : (errno = ENOMEM, -1);
}

}  // namespace

int system_reboot() { return power_off(true); }
int system_shutdown() { return power_off(false); }

BOOL set_system_time(const SYSTEMTIME& utc) {
  if (System_Options::instance()->clock == System_Options::SYSTEM)
    return platform::set_system_clock(utc);
  char when[48];
  std::snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u:%02u",
                unsigned{utc.wYear}, unsigned{utc.wMonth}, unsigned{utc.wDay},
                unsigned{utc.wHour}, unsigned{utc.wMinute},
                unsigned{utc.wSecond});
  return record_dry_run("set_system_time", "utc", when);
}

}  // namespace systemutil
