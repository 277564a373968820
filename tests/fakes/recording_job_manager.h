// A job manager that records each call (operation, id, options) and answers
// with a preset result; it holds the jobs a test gives it, and records the
// definitions submitted to it (taking as long as a test asks). Only
// submissions come from another thread: the reactor's.
#ifndef TESTS_FAKES_RECORDING_JOB_MANAGER_H
#define TESTS_FAKES_RECORDING_JOB_MANAGER_H

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/job/job_manager.h"

class Recording_Job_Manager : public Job_Manager {
 public:
  struct Call {
    std::string operation;
    std::string id;
    bool had_options;  // false when a null options pointer was passed
    Options options;
  };

  ACE_RW_Mutex& mutex() override { return mutex_; }
  const Job_List& jobs() override {
    if (on_jobs) on_jobs();
    return jobs_;
  }
  Job_Ptr find(const std::string& id) override {
    for (const Job_Ptr& j : jobs_)
      if (j->definition().get() && j->definition()->id() == id) return j;
    return Job_Ptr();
  }
  bool submit_job(Job_Definition_Ptr definition, unsigned int) override {
    std::this_thread::sleep_for(submit_delay);
    std::lock_guard<std::mutex> g(lock_);
    submitted_.push_back(definition);
    return result;
  }
  std::vector<Job_Definition_Ptr> submitted() const {
    std::lock_guard<std::mutex> g(lock_);
    return submitted_;
  }

  Job_List jobs_;
  std::function<void()> on_jobs;  // runs when the listing takes the jobs
  std::chrono::milliseconds submit_delay{0};
  std::vector<Call> calls;
  bool result = true;

#define RECORDING_JOB_OPERATION(NAME)                                  \
  bool NAME(const std::string& id, const Options* options) override { \
    return record(#NAME, id, options);                                 \
  }
  RECORDING_JOB_OPERATION(start_job)
  RECORDING_JOB_OPERATION(stop_job)
  RECORDING_JOB_OPERATION(pause_job)
  RECORDING_JOB_OPERATION(resume_job)
  RECORDING_JOB_OPERATION(remove_job)
  RECORDING_JOB_OPERATION(enable_job)
  RECORDING_JOB_OPERATION(disable_job)
  RECORDING_JOB_OPERATION(switch_job)
  RECORDING_JOB_OPERATION(sync_job)
#undef RECORDING_JOB_OPERATION

 private:
  bool record(const char* op, const std::string& id, const Options* options) {
    calls.push_back(Call{op, id, options != nullptr, options ? *options : Options()});
    return result;
  }

  mutable std::mutex lock_;
  ACE_RW_Thread_Mutex mutex_;
  std::vector<Job_Definition_Ptr> submitted_;
};

#endif
