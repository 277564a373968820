// The process's own job manager: the jobs' states and their moves, and the
// runs the scheduler's clock starts. Definitions are kept by
// Job_Definition_Store, commands run through Job_Runner, every move is
// written to Job_Event_Log, and Job_Scheduler keeps the time. Reached only
// through Job_Manager::instance().
#ifndef JOB_FILE_JOB_MANAGER_H
#define JOB_FILE_JOB_MANAGER_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/job/job_definition_store.h"
#include "agent/job/job_event_log.h"
#include "agent/job/job_manager.h"
#include "agent/job/job_runner.h"
#include "agent/job/job_scheduler.h"

// A job with its running command, if any.
struct Managed_Job : Job {
  using Job::Job;
  std::shared_ptr<platform::Process_Runner> process;
};

class File_Job_Manager : public Job_Manager, Job_Scheduler::Jobs {
 public:
  File_Job_Manager()
      : runner_([this](const std::string& id, const std::string& instance,
                       const platform::Process_Exit& exit) { finished(id, instance, exit); }),
        scheduler_(*this) {}

  int open() override;
  void close() override;
  ACE_RW_Mutex& mutex() override { return mutex_; }
  const Job_List& jobs() override { return jobs_; }
  Job_Ptr find(const std::string& id) override {
    auto j = by_id_.find(id);
    return j == by_id_.end() ? Job_Ptr() : j->second;
  }
  bool submit_job(Job_Definition_Ptr definition, unsigned int flags) override;

  bool start_job(const std::string& id, const Options*) override {
    return change(id, [&](Managed_Job& j, Events& ev) { return start(j, ev); });
  }
  bool stop_job(const std::string& id, const Options*) override;
  bool pause_job(const std::string& id, const Options*) override {
    return move(id, JOB_RUNNING, JOB_PAUSED, JOB_EVENT_PAUSED, &platform::Process_Runner::pause);
  }
  bool resume_job(const std::string& id, const Options*) override {
    return move(id, JOB_PAUSED, JOB_RUNNING, JOB_EVENT_RESUMED, &platform::Process_Runner::resume);
  }
  bool remove_job(const std::string& id, const Options*) override;
  bool enable_job(const std::string& id, const Options*) override { return set_enabled(id, 1); }
  bool disable_job(const std::string& id, const Options*) override { return set_enabled(id, 0); }
  bool switch_job(const std::string& id, const Options*) override { return set_enabled(id, -1); }
  bool sync_job(const std::string& id, const Options*) override;

 private:
  typedef std::vector<Job_Event> Events;

  // Runs `f` on the job under the write lock, then writes the events it
  // made in the order the changes happened (the order lock is taken before
  // the write lock goes), so a listing never waits for the disk.
  template <class F>
  bool change(const std::string& id, F f) {
    Events events;
    std::unique_lock<std::mutex> order(events_lock_, std::defer_lock);
    bool done;
    {
      ACE_Write_Guard<ACE_RW_Mutex> guard(mutex_);
      auto j = by_id_.find(id);
      done = j != by_id_.end() && f(static_cast<Managed_Job&>(*j->second), events);
      if (!events.empty()) order.lock();
    }
    for (const Job_Event& e : events) events_.append(e);
    return done;
  }
  bool move(const std::string& id, int from, int to, int event,
            void (platform::Process_Runner::*signal)());
  bool start(Managed_Job& job, Events& events);
  void add_event(Managed_Job& job, int event, Events& events, bool opens = false);
  void finished(const std::string& id, const std::string& instance,
                const platform::Process_Exit& exit);
  bool set_enabled(const std::string& id, int how);
  void add(const Job_Definition_Ptr& definition);
  // On the reactor thread, each second while some job has a time.
  void run_due(std::int64_t now) override;
  bool any_scheduled() override;

  ACE_RW_Thread_Mutex mutex_;
  Job_List jobs_;
  std::unordered_map<std::string, Job_Ptr> by_id_;
  Job_Definition_Store store_;
  Job_Runner runner_;
  std::mutex events_lock_;
  Job_Event_Log events_;  // under events_lock_
  Job_Scheduler scheduler_;
  std::atomic<bool> closing_{false};
};

#endif
