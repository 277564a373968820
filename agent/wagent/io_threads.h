// The threads that run the host's io_context.
//
// A request is served on the thread that read it: no hand-off to another
// thread on the way in or out, which is most of what a small request costs.
// A handler that blocks (a write to a client that does not read, a slow
// disk, a dead mount) would take that thread away from every other
// connection, so a thread that blocks is replaced: at once where the host
// itself waits (Blocking_Scope around a write wait), and by a monitor for a
// handler that has run longer than one tick. Replacements leave again once
// they have been idle for a while. At most `handler_limit` handlers run at
// once; past that a request is answered "busy" without being served.
#ifndef WAGENT_IO_THREADS_H
#define WAGENT_IO_THREADS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <vector>
#include <mutex>
#include <thread>

#include <boost/asio/defer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

namespace wagent {

class Io_Threads {
 public:
  // `base` threads always run; up to `thread_limit` when some are blocked.
  // Pools that share `handlers` (when given) share the handler limit, and
  // those that share `anonymous` the share of callers without a session,
  // a quarter of it.
  Io_Threads(boost::asio::io_context& ioc, unsigned base, unsigned thread_limit,
             unsigned handler_limit,
             std::atomic<std::size_t>* handlers = nullptr,
             std::atomic<std::size_t>* anonymous = nullptr);
  ~Io_Threads();
  Io_Threads(const Io_Threads&) = delete;
  Io_Threads& operator=(const Io_Threads&) = delete;

  // Before start(): at most `limit` handlers at once, a quarter of them
  // for callers without a session.
  void limit_handlers(unsigned limit);
  void start();
  // Stops the io_context and waits up to `limit` for every thread to leave
  // it. False when some thread is still inside a handler; such threads are
  // detached.
  bool stop(std::chrono::milliseconds limit);

  // Handlers running now (on any thread).
  std::size_t handlers() const { return handlers_->load(); }
  // Handlers admitted so far on this pool's threads.
  unsigned long long served() const { return served_.load(std::memory_order_relaxed); }
  unsigned threads() const;
  // Called on the monitor's thread when a handler starts after a quiet
  // spell (work to do after activity, with no clock of its own).
  void on_wake(std::function<void()> hook);

  // Runs `f` on `executor` after the caller: deferred when the calling io
  // thread is between handlers, so the same thread runs it next without
  // waking another; posted when it is serving one, since a deferred
  // function would wait for that handler to end.
  template <class Executor, class F>
  static void hand_on(const Executor& executor, F&& f) {
    if (current_slot_ && current_slot_->busy_since.load() == 0)
      boost::asio::defer(executor, std::forward<F>(f));
    else
      boost::asio::post(executor, std::forward<F>(f));
  }

  // Marks the calling io thread as serving a request while it lives.
  class Handler_Scope {
   public:
    // `anonymous`: for a caller without a session, admitted only within
    // its share, so such callers never make a keyed one busy.
    explicit Handler_Scope(Io_Threads& pool, bool anonymous = false);
    // Work admitted before that goes on now (a reply that waited for its
    // requester to read): counted and watched as a handler, never refused.
    struct Resumed {};
    Handler_Scope(Io_Threads& pool, Resumed);
    ~Handler_Scope();
    // False when the handler limit was reached: answer "busy".
    bool admitted() const { return admitted_; }

   private:
    void enter();  // counts an admitted handler as running
    Io_Threads& pool_;
    bool admitted_;
    bool anonymous_;
    bool counted_ = false;  // in busy_: on one of the pool's own threads
  };

  // Around a wait of the calling thread for something another io thread
  // must do (a write to the connection): the pool makes sure enough other
  // threads are free. Does nothing on a thread outside the pool.
  class Blocking_Scope {
   public:
    Blocking_Scope();
    ~Blocking_Scope();

   private:
    Io_Threads* pool_;
    bool was_blocked_ = false;
  };

 private:
  struct Slot {
    std::atomic<long long> busy_since{0};  // steady ns; 0 when not serving
    std::atomic<bool> blocked{false};
    std::thread thread;
    bool finished = false;  // under lock_; joined and erased by reap()
  };

  typedef std::list<Slot>::iterator Slot_Ref;

  void add_thread();  // under lock_
  // Joins threads that have left, so none outlives the pool unseen.
  void reap();  // under lock_
  void run(Slot_Ref slot);
  void leave(Slot_Ref slot);  // under lock_
  void monitor();
  // Threads neither blocked nor serving for longer than a tick.
  unsigned available(long long now) const;  // under lock_
  void make_available(long long now);        // under lock_

  boost::asio::io_context& ioc_;
  const unsigned base_;
  const unsigned thread_limit_;
  std::size_t handler_limit_;
  std::size_t anonymous_limit_;
  std::atomic<std::size_t> own_handlers_{0};
  std::atomic<std::size_t> own_anonymous_{0};
  std::atomic<std::size_t>* const handlers_;
  std::atomic<std::size_t>* const anonymous_;
  std::atomic<unsigned long long> served_{0};
  // Handlers running on this pool's own threads; the monitor sleeps while
  // it stays zero.
  std::atomic<unsigned> busy_{0};
  std::atomic<bool> asleep_{false};
  bool woken_ = false;  // under lock_
  std::function<void()> on_wake_;  // under lock_

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::list<Slot> slots_;  // one per thread; stable addresses
  // Written under lock_; read without it to see cheaply whether extra
  // threads run.
  std::atomic<unsigned> threads_{0};
  bool stopping_ = false;
  std::thread monitor_;

  static thread_local Io_Threads* current_pool_;
  static thread_local Slot* current_slot_;
};

// Lanes of io: one io_context per core, each served by its own Io_Threads.
// A connection stays on one lane from accept to close, so its reads,
// handlers and writes run on one thread and never wake another, which is
// most of what a small request would otherwise cost; the lanes spread
// connections over the cores. The handler limit holds for all lanes
// together.
class Io_Lanes {
 public:
  struct Lane {
    Lane(unsigned thread_limit, unsigned handler_limit,
         std::atomic<std::size_t>* handlers, std::atomic<std::size_t>* anonymous);
    boost::asio::io_context ioc;
    // Keeps the lane's threads waiting for work until stop().
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work;
    Io_Threads io;
  };

  Io_Lanes(unsigned lanes, unsigned thread_limit, unsigned handler_limit);
  Io_Lanes(const Io_Lanes&) = delete;
  Io_Lanes& operator=(const Io_Lanes&) = delete;

  // The lane of the next connection, taken in turn.
  Lane& next();
  // The lane of the listener and the upstream channel.
  Lane& first() { return *lanes_.front(); }

  // Io_Threads::limit_handlers for the lanes together; before start().
  void limit_handlers(unsigned limit);
  // The hook of Io_Threads::on_wake, for every lane.
  void on_wake(const std::function<void()>& hook);
  void start();
  // Stops every lane within `limit` in all; false when some thread is
  // still inside a handler.
  bool stop(std::chrono::milliseconds limit);
  std::size_t handlers() const { return handlers_.load(); }
  // Handlers admitted so far over all lanes.
  unsigned long long served() const;

 private:
  std::atomic<std::size_t> handlers_{0};
  std::atomic<std::size_t> anonymous_{0};
  std::vector<std::unique_ptr<Lane>> lanes_;
  std::atomic<unsigned> next_{0};
};

}  // namespace wagent

#endif
