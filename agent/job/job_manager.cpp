#include "agent/job/job_manager.h"

template <>
Job_Manager* default_service<Job_Manager>() {
  static Empty_Job_Manager empty_manager;
  return &empty_manager;
}
template class Service_Instance_T<Job_Manager>;

Job_Manager::~Job_Manager() {}
