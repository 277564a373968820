#include "agent/reactor/simple_reactor.h"

#include <ace/Thread.h>

#include <future>

template <>
Simple_Reactor* default_service<Simple_Reactor>() {
  static Simple_Reactor reactor;
  return &reactor;
}
template class Service_Instance_T<Simple_Reactor>;

Simple_Reactor::Simple_Reactor() {}

Simple_Reactor::~Simple_Reactor() { stop(); }

int Simple_Reactor::start() {
  std::lock_guard<std::mutex> g(lock_);
  if (thread_.joinable()) return 0;
  reactor_.reset_reactor_event_loop();
  std::promise<void> started;
  try {
    thread_ = std::thread([this, &started] {
      reactor_.owner(ACE_Thread::self());
      thread_id_ = std::this_thread::get_id();
      running_ = true;
      started.set_value();
      reactor_.run_reactor_event_loop();
      running_ = false;
    });
  } catch (const std::system_error&) {
    return -1;
  }
  started.get_future().wait();
  return 0;
}

void Simple_Reactor::stop() {
  std::lock_guard<std::mutex> g(lock_);
  if (!thread_.joinable()) return;
  reactor_.end_reactor_event_loop();
  thread_.join();
  thread_id_ = std::thread::id();
}

bool Simple_Reactor::on_reactor_thread() const {
  return running_ && thread_id_.load() == std::this_thread::get_id();
}

int Simple_Reactor::notify(ACE_Event_Handler* handler, unsigned long mask,
                           ACE_Time_Value* timeout) {
  if (!running_) return -1;
  return reactor_.notify(handler, mask, timeout);
}

int Simple_Reactor::purge(ACE_Event_Handler* handler) {
  return reactor_.purge_pending_notifications(handler);
}
