// Actions that change the machine itself (its clock; later reboot and
// shutdown) and whether they really happen. In dry-run mode, the default,
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

  explicit System_Options(Mode clock_mode = DRY_RUN) : clock(clock_mode) {}

  std::atomic<Mode> clock;
};

extern template class Service_Instance_T<System_Options>;

namespace systemutil {

// Sets the clock to `utc` under the clock mode. FALSE with the reason for
// GetLastError when the platform refuses the time (or, in dry-run mode,
// when the audit record cannot be made).
BOOL set_system_time(const SYSTEMTIME& utc);

}  // namespace systemutil

#endif
