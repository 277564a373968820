// The agent's job manager, as the job handlers see it: the jobs with their
// definitions and the state of their current or last run, the
// readers/writer lock that guards them, submission of new definitions, and
// the operations on one job, each naming it by id, taking the caller's
// string options and answering whether it was carried out.
#ifndef JOB_JOB_MANAGER_H
#define JOB_JOB_MANAGER_H

#include <ace/Intrusive_Auto_Ptr.h>
#include <ace/RW_Thread_Mutex.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/job/job_definition.h"
#include "agent/platform/service_instance.h"

// Run states.
enum Job_State { JOB_IDLE = 1, JOB_RUNNING = 3, JOB_PAUSED = 5, JOB_ENDED = 10 };

// The state of a job's current or last run.
struct Job_Activity {
  unsigned char instance_id[16];
  std::int32_t state;
  std::int64_t next_run_time;  // POSIX seconds; 0 when not scheduled
  std::int64_t start_time;     // POSIX seconds; 0 when none
  std::int32_t progress;
  std::int32_t code;
  // A message of `message[1]` times the character `message[0]`; none when
  // message[0] is 0.
  std::uint16_t message[2];
};

// How a run's command ended, beyond its code.
struct Job_Run_End {
  std::int32_t signal = 0;
  bool timed_out = false;
  bool cancelled = false;  // stopped or removed, or the agent stopped
  std::int64_t duration_ms = 0;
  std::uint64_t output_bytes = 0;
};

// A job's definition and the state of its current or last run as they
// stood at one moment. A record a reader may hold is never changed (a change
// goes to a copy that replaces it), so a listing takes the records under the
// manager's lock and turns them into text after letting it go.
struct Job_Record {
  Job_Definition_Ptr definition;
  bool has_activity = false;
  Job_Activity activity{};
  // Once the last run's command has ended.
  bool has_end = false;
  Job_Run_End end;
};

typedef std::shared_ptr<const Job_Record> Job_Record_Ptr;

// One job. Read it only under the manager's lock (reading), change it only
// under it for writing; what record() hands out may be kept past the lock.
class Job {
 public:
  explicit Job(const Job_Definition_Ptr& definition);
  virtual ~Job();

  // The job as it stands now, unchanged by later changes of the job.
  Job_Record_Ptr record() const {
    // Listings side by side only read the mark once it is set.
    if (!shared_.load(std::memory_order_relaxed)) shared_.store(true, std::memory_order_relaxed);
    return record_;
  }
  Job_Definition_Ptr definition() const { return record_->definition; }
  // Null when the job has no activity record; valid until the lock goes.
  const Job_Activity* activity() const {
    return record_->has_activity ? &record_->activity : nullptr;
  }

  // The changes; what activity_record() returns stays valid until the
  // write lock goes.
  void set_definition(const Job_Definition_Ptr& d) { writable().definition = d; }
  Job_Activity& activity_record();
  const Job_Run_End* run_end() const { return record_->has_end ? &record_->end : nullptr; }
  void set_run_end(const Job_Run_End* end) {
    Job_Record& r = writable();
    r.has_end = end != nullptr;
    r.end = end ? *end : Job_Run_End();
  }

  static void intrusive_add_ref(Job* j) {
    if (j) ++j->refs_;
  }
  // ACE hands over null pointers too.
  static void intrusive_remove_ref(Job* j) {
    if (j && --j->refs_ == 0) delete j;
  }

 private:
  // The record to change in place: a copy when a reader may hold the
  // current one. Readers mark it under the read lock, which a writer's lock
  // orders before this check.
  Job_Record& writable();

  std::shared_ptr<Job_Record> record_;
  mutable std::atomic<bool> shared_{false};
  std::atomic<long> refs_{0};
};

typedef ACE_Intrusive_Auto_Ptr<Job> Job_Ptr;

// Reached through instance(); the process's own keeps its jobs under
// $APPDATA/jobs and their events in the job_event_log database.
class Job_Manager : public Service_Instance_T<Job_Manager> {
 public:
  typedef std::map<std::string, std::string> Options;
  typedef std::vector<Job_Ptr> Job_List;

  virtual ~Job_Manager();

  // Loads what was kept and arms the schedules (the host calls it once
  // the reactor runs); close() stops commands and timers.
  virtual int open() { return 0; }
  virtual void close() {}

  // Guards the jobs: listings read under it, changes write.
  virtual ACE_RW_Mutex& mutex() = 0;
  // Every job, in the manager's order; walk it only under mutex().
  virtual const Job_List& jobs() = 0;
  // The job named `id`, or null; call under mutex().
  virtual Job_Ptr find(const std::string& id) = 0;
  // Adds a job; false for a null definition, an id already taken or one
  // that cannot name a file. A definition without an id gets a UUID.
  virtual bool submit_job(Job_Definition_Ptr definition, unsigned int flags) = 0;

  virtual bool start_job(const std::string& id, const Options* options) = 0;
  virtual bool stop_job(const std::string& id, const Options* options) = 0;
  virtual bool pause_job(const std::string& id, const Options* options) = 0;
  virtual bool resume_job(const std::string& id, const Options* options) = 0;
  virtual bool remove_job(const std::string& id, const Options* options) = 0;
  virtual bool enable_job(const std::string& id, const Options* options) = 0;
  virtual bool disable_job(const std::string& id, const Options* options) = 0;
  virtual bool switch_job(const std::string& id, const Options* options) = 0;
  virtual bool sync_job(const std::string& id, const Options* options) = 0;
};

extern template class Service_Instance_T<Job_Manager>;

#endif
