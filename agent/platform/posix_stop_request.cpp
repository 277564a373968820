#include <signal.h>

#include "agent/platform/stop_request.h"

namespace platform {

namespace {

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

// Blocked signals taken with sigwait, rather than a handler: nothing runs in
// signal context, and a sanitizer's deferred delivery cannot lose them.
bool hold_stop_requests() {
  const sigset_t set = stop_signals();
  return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

int wait_for_stop_request() {
  const sigset_t set = stop_signals();
  int number = 0;
  // Fails only on a bad set; 0 then still stops the program.
  if (::sigwait(&set, &number) != 0) return 0;
  // Later ones stay pending behind the mask for the rest of the process.
  return number;
}

}  // namespace platform
