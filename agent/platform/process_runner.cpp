// What both systems' process runners share: the default limits and the
// register of running commands that a stop of the agent ends.
#include "agent/platform/process_runner.h"

#include <mutex>
#include <set>

namespace platform {

namespace {

struct Register {
  std::mutex lock;
  std::set<Process_Runner*> running;
  Process_Limits defaults;
};

// Never destroyed: a waiter thread may still leave it while the process
// exits.
Register& the_register() {
  static Register* r = new Register;
  return *r;
}

}  // namespace

void Process_Runner::enlist() {
  Register& r = the_register();
  std::lock_guard<std::mutex> g(r.lock);
  r.running.insert(this);
}

void Process_Runner::delist() {
  Register& r = the_register();
  std::lock_guard<std::mutex> g(r.lock);
  r.running.erase(this);
}

// The register's lock is held across the calls, so no runner is destroyed
// under them (its wait delists first).
void Process_Runner::terminate_all() {
  Register& r = the_register();
  std::lock_guard<std::mutex> g(r.lock);
  for (Process_Runner* p : r.running) p->terminate();
}

void Process_Runner::kill_all() {
  Register& r = the_register();
  std::lock_guard<std::mutex> g(r.lock);
  for (Process_Runner* p : r.running) p->kill();
}

void Process_Runner::set_default_limits(const Process_Limits& limits) {
  Register& r = the_register();
  std::lock_guard<std::mutex> g(r.lock);
  r.defaults = limits;
}

Process_Limits Process_Runner::default_limits() {
  Register& r = the_register();
  std::lock_guard<std::mutex> g(r.lock);
  return r.defaults;
}

}  // namespace platform
