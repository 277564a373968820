// Runs jobs' commands: each with its output appended to the job's log, and
// a thread of its own that waits for it (ending its tree when told) and
// reports how it ended.
#ifndef JOB_JOB_RUNNER_H
#define JOB_JOB_RUNNER_H

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "agent/platform/process_runner.h"

class Job_Runner {
 public:
  // Called on the waiting thread with the job, its run and how it ended.
  typedef std::function<void(const std::string& id, const std::string& instance,
                             const platform::Process_Exit& exit)>
      Ended;

  explicit Job_Runner(Ended ended) : ended_(std::move(ended)) {}

  // Starts `command` for run `instance` of job `id`; null (logged) when it
  // cannot start.
  std::shared_ptr<platform::Process_Runner> start(const std::string& id,
                                                  const std::string& instance,
                                                  const std::string& command);
  // Waits for the threads of commands still running (the caller has told
  // them to end) up to the grace period and 3 s more; logs when some are
  // left.
  void wait_all();

 private:
  Ended ended_;
  std::mutex lock_;
  std::condition_variable done_;
  int waiting_ = 0;
};

#endif
