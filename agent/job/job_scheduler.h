// The jobs' clock: a one-second timer on the reactor thread that runs only
// while some job has a time to run, so an agent without schedules is not
// woken every second.
#ifndef JOB_JOB_SCHEDULER_H
#define JOB_JOB_SCHEDULER_H

#include <ace/Event_Handler.h>

#include <atomic>
#include <cstdint>
#include <mutex>

class Job_Scheduler : public ACE_Event_Handler {
 public:
  // What the timer serves: it starts the jobs whose time has come, and says
  // whether any job still has a time.
  class Jobs {
   public:
    virtual ~Jobs() {}
    virtual void run_due(std::int64_t now) = 0;
    virtual bool any_scheduled() = 0;
  };

  explicit Job_Scheduler(Jobs& jobs) : jobs_(jobs) {}

  // After a job got a time to run (outside the job lock): starts the timer
  // unless it runs, the scheduler stopped or the reactor is not running.
  void wake();
  // For good: the timer goes, and wake() no longer starts it.
  void stop();

  int handle_timeout(const ACE_Time_Value&, const void*) override;

 private:
  Jobs& jobs_;
  std::mutex lock_;
  long timer_ = -1;  // under lock_
  std::atomic<bool> stopped_{false};
};

#endif
