// An ACE reactor with a thread of its own: timers of the agent's services
// and work handed over from other threads (notifications) run there, one
// at a time. The host starts it before it serves and stops it last.
#ifndef REACTOR_SIMPLE_REACTOR_H
#define REACTOR_SIMPLE_REACTOR_H

#include <ace/Event_Handler.h>
#include <ace/Reactor.h>
#include <ace/Time_Value.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "agent/platform/service_instance.h"

class Simple_Reactor : public Service_Instance_T<Simple_Reactor> {
 public:
  Simple_Reactor();
  virtual ~Simple_Reactor();

  // Starts the thread (again after a stop); 0, or -1 when it cannot.
  virtual int start();
  // Ends the event loop and waits for the thread. Notifications still
  // pending are dropped.
  virtual void stop();
  // True while the event loop runs; a notification posted now is
  // dispatched unless stop() comes first.
  bool running() const { return running_; }
  bool on_reactor_thread() const;

  // Has the reactor thread call the handler's method for `mask`
  // (EXCEPT_MASK: handle_exception). -1 when it is not running or the
  // notification cannot be posted.
  virtual int notify(ACE_Event_Handler* handler, unsigned long mask,
                     ACE_Time_Value* timeout);
  // Drops notifications still pending for `handler`.
  virtual int purge(ACE_Event_Handler* handler);
  ACE_Reactor* reactor() { return &reactor_; }

 private:
  ACE_Reactor reactor_;
  std::mutex lock_;  // start and stop
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<std::thread::id> thread_id_{};
};

extern template class Service_Instance_T<Simple_Reactor>;

#endif
