#include "agent/job/job_manager.h"

#include "agent/mdrt/service_instance.h"

namespace {
Empty_Job_Manager empty_manager;
Service_Slot_T<Job_Manager> slot(&empty_manager);
}  // namespace

Job_Manager::~Job_Manager() {}

Job_Manager* Job_Manager::instance() { return slot.get(); }

Job_Manager* Job_Manager::instance(Job_Manager* replacement) {
  return slot.exchange(replacement ? replacement : &empty_manager);
}
