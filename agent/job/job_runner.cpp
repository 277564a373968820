#include "agent/job/job_runner.h"

#include <ace/Log_Msg.h>

#include <chrono>
#include <thread>

#include "agent/paths/app_data.h"
#include "agent/platform/platform.h"

std::shared_ptr<platform::Process_Runner> Job_Runner::start(const std::string& id,
                                                           const std::string& instance,
                                                           const std::string& command) {
  auto process = std::make_shared<platform::Process_Runner>(command);
  const std::string log = app_data(App_Data::LOG, ("job-" + id + ".log").c_str()).path();
  if (!process->start(log, 0640)) {
    ACE_ERROR((LM_ERROR, "%N:%l: job %C cannot run '%C', %m\n", id.c_str(), command.c_str()));
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    ++waiting_;
  }
  std::thread([this, process, id, instance] {
    platform::Process_Exit exit;
    process->wait(exit);
    ended_(id, instance, exit);
    std::lock_guard<std::mutex> g(lock_);
    if (--waiting_ == 0) done_.notify_all();
  }).detach();
  return process;
}

void Job_Runner::wait_all() {
  std::unique_lock<std::mutex> g(lock_);
  const auto limit = platform::Process_Runner::default_limits().grace + std::chrono::seconds(3);
  if (!done_.wait_for(g, limit, [&] { return waiting_ == 0; }))
    ACE_ERROR((LM_WARNING, "%N:%l: job commands still running at stop\n"));
}
