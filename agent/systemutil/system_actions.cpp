#include "agent/systemutil/system_actions.h"

#include <ace/Log_Msg.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>
#include <thread>

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

namespace {

typedef std::chrono::steady_clock Clock;

// The pending actions and the one thread that waits for them while any is
// pending. Never destroyed: the thread may outlive the statics.
struct Power_Schedule {
  std::mutex lock;
  std::condition_variable changed;
  std::map<int (*)(), Clock::time_point> pending;
  bool waiting = false;  // the thread runs

  void run() {
    std::unique_lock<std::mutex> g(lock);
    while (!pending.empty()) {
      auto next = pending.begin();
      for (auto p = pending.begin(); p != pending.end(); ++p)
        if (p->second < next->second) next = p;
      // A copy: wait_until reads the deadline again after waking, when a
      // cancel may have freed the entry.
      const Clock::time_point due = next->second;
      if (Clock::now() < due) {
        changed.wait_until(g, due);
        continue;
      }
      int (*const action)() = next->first;
      pending.erase(next);
      g.unlock();
      if (action() != 0)
        ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l: a delayed power action failed: %m\n")));
      g.lock();
    }
    waiting = false;
  }
};

Power_Schedule& power_schedule() {
  static Power_Schedule* s = new Power_Schedule;
  return *s;
}

}  // namespace

bool schedule_power_action(int (*action)(), std::chrono::seconds delay) {
  Power_Schedule& s = power_schedule();
  std::lock_guard<std::mutex> g(s.lock);
  try {
    s.pending[action] = Clock::now() + delay;
    if (s.waiting) {
      s.changed.notify_all();
      return true;
    }
    std::thread([&s] { s.run(); }).detach();
    s.waiting = true;
  } catch (const std::exception&) {
    s.pending.erase(action);
    errno = EAGAIN;
    return false;
  }
  return true;
}

bool cancel_power_action(int (*action)()) {
  Power_Schedule& s = power_schedule();
  std::lock_guard<std::mutex> g(s.lock);
  if (!s.pending.erase(action)) return false;
  s.changed.notify_all();
  return true;
}

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
