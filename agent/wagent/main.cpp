#include <ace/Init_ACE.h>

#include "agent/platform/service_notify.h"
#include "agent/platform/stop_request.h"
#include "agent/wagent/host.h"

int main(int argc, char* argv[]) {
  // Before any thread exists, so that every thread leaves SIGINT and
  // SIGTERM to the one wait for them; until the host serves, a stop request
  // waits its turn.
  platform::hold_stop_requests();
  // Where ACE keeps its object manager on main's stack (Windows), nothing
  // of ACE works before this, process spawning included. Where it is a
  // static object (POSIX) it is up already, and it is left to go down with
  // the other statics as before: fini only what this call started.
  const bool started = ACE::init() == 0;
  // Under Windows' service control manager the host runs as its service
  // (one of its own process, so the name is the manager's to choose).
  const int code = platform::run_as_service("wagent", [&] { return wagent::run_host(argc, argv); });
  if (started) ACE::fini();
  return code;
}
