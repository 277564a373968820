#include "agent/job/job_scheduler.h"

#include <ctime>

#include "agent/reactor/simple_reactor.h"

void Job_Scheduler::wake() {
  std::lock_guard<std::mutex> g(lock_);
  Simple_Reactor* reactor = Simple_Reactor::instance();
  if (timer_ != -1 || stopped_ || !reactor->running()) return;
  const ACE_Time_Value second(1);
  timer_ = reactor->reactor()->schedule_timer(this, nullptr, second, second);
}

void Job_Scheduler::stop() {
  stopped_ = true;
  std::lock_guard<std::mutex> g(lock_);
  if (timer_ != -1) Simple_Reactor::instance()->reactor()->cancel_timer(timer_);
  timer_ = -1;
}

int Job_Scheduler::handle_timeout(const ACE_Time_Value&, const void*) {
  jobs_.run_due(static_cast<std::int64_t>(std::time(nullptr)));
  // Checked under lock_, which wake() takes after a job got its time:
  // either this sees that job, or wake() sees the timer gone.
  std::lock_guard<std::mutex> g(lock_);
  if (timer_ != -1 && !jobs_.any_scheduled()) {
    Simple_Reactor::instance()->reactor()->cancel_timer(timer_);
    timer_ = -1;
  }
  return 0;
}
