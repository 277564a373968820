// Actions that change the machine itself (its clock, reboot and shutdown)
// and whether they really happen. In dry-run mode, the default,
// an action is recorded in the audit log and reported as done without
// touching the machine; only the system mode passes it to the platform, so
// nothing but a deliberate setting of the host changes the machine.
#ifndef SYSTEMUTIL_SYSTEM_ACTIONS_H
#define SYSTEMUTIL_SYSTEM_ACTIONS_H

#include <atomic>

#include "agent/platform/platform.h"
#include "agent/platform/service_instance.h"

class System_Options : public Service_Instance_T<System_Options> {
 public:
  enum Mode { DRY_RUN, SYSTEM };

  explicit System_Options(Mode clock_mode = DRY_RUN, Mode power_mode = DRY_RUN)
      : clock(clock_mode), power(power_mode) {}

  std::atomic<Mode> clock;
  std::atomic<Mode> power;  // reboot and shutdown
};

extern template class Service_Instance_T<System_Options>;

namespace systemutil {

// Sets the clock to `utc` under the clock mode. FALSE with the reason for
// GetLastError when the platform refuses the time (or, in dry-run mode,
// when the audit record cannot be made).
BOOL set_system_time(const SYSTEMTIME& utc);

// Restart or power off the machine under the power mode; 0 once the system
// has accepted it (in dry-run mode: once it is recorded), else -1 with
// errno.
int system_reboot();
int system_shutdown();

}  // namespace systemutil

#endif
