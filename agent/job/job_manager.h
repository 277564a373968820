// The agent's job manager, as the job handlers see it. Every operation
// names a job by id, takes the caller's string options and answers whether
// it was carried out.
#ifndef JOB_JOB_MANAGER_H
#define JOB_JOB_MANAGER_H

#include <map>
#include <string>

#include "agent/platform/service_instance.h"

// Reached through instance(); the process's own holds no jobs.
class Job_Manager : public Service_Instance_T<Job_Manager> {
 public:
  typedef std::map<std::string, std::string> Options;

  virtual ~Job_Manager();

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

// A manager that holds no jobs: every operation answers false.
class Empty_Job_Manager : public Job_Manager {
 public:
  bool start_job(const std::string&, const Options*) override { return false; }
  bool stop_job(const std::string&, const Options*) override { return false; }
  bool pause_job(const std::string&, const Options*) override { return false; }
  bool resume_job(const std::string&, const Options*) override { return false; }
  bool remove_job(const std::string&, const Options*) override { return false; }
  bool enable_job(const std::string&, const Options*) override { return false; }
  bool disable_job(const std::string&, const Options*) override { return false; }
  bool switch_job(const std::string&, const Options*) override { return false; }
  bool sync_job(const std::string&, const Options*) override { return false; }
};

extern template class Service_Instance_T<Job_Manager>;

#endif
