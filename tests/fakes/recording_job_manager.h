// A job manager that records each call (operation, id, options) and answers
// with a preset result.
#ifndef TESTS_FAKES_RECORDING_JOB_MANAGER_H
#define TESTS_FAKES_RECORDING_JOB_MANAGER_H

#include <mutex>
#include <string>
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

  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> g(lock_);
    return calls_;
  }
  void answer(bool result) { result_ = result; }

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
    std::lock_guard<std::mutex> g(lock_);
    calls_.push_back(Call{op, id, options != nullptr,
                          options ? *options : Options()});
    return result_;
  }

  mutable std::mutex lock_;
  std::vector<Call> calls_;
  bool result_ = true;
};

#endif
