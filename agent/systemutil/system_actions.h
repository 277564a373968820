// Actions that change the machine itself (its clock, reboot and shutdown)
// and whether they really happen. In dry-run mode, the default,
// an action is recorded in the audit log and reported as done without
// touching the machine; only the system mode passes it to the platform, so
// nothing but a deliberate setting of the host changes the machine.
#ifndef SYSTEMUTIL_SYSTEM_ACTIONS_H
#define SYSTEMUTIL_SYSTEM_ACTIONS_H

#include <atomic>
#include <chrono>

#include "agent/platform/platform.h"
#include "agent/platform/service_instance.h"

class System_Options : public Service_Instance_T<System_Options> {
 public:
  enum Mode { DRY_RUN, SYSTEM };

  explicit System_Options(Mode clock_mode = DRY_RUN, Mode power_mode = DRY_RUN)
      : clock(clock_mode), power(power_mode) {}

  std::atomic<Mode> clock;
  std::atomic<Mode> power;  // reboot and shutdown
  // Refuse reboot and shutdown while a job runs, unless forced.
  std::atomic<bool> power_refused_while_jobs_run{false};
  // system.execute: the timeout of a command that names none, in seconds
  // (0: none), and whether every download must name its SHA-256.
  std::atomic<long long> execute_timeout{0};
  std::atomic<bool> require_sha256{false};
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

// `action` (system_reboot or system_shutdown) put off by `delay`: at most
// one of each pending, a new one replacing it. It runs on a thread of its
// own under the power mode of that moment; a failure is logged. False, with
// errno, when no thread could be had for it (nothing is then pending).
bool schedule_power_action(int (*action)(), std::chrono::seconds delay);
// Drops the pending `action`; false when none was pending.
bool cancel_power_action(int (*action)());

}  // namespace systemutil

#endif
