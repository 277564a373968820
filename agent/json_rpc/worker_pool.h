// A pool of threads that grows on demand up to a bound and shrinks when idle.
// Its queue is bounded too: a caller that submits faster than the threads
// finish is refused, never buffered without limit.
#ifndef JSON_RPC_WORKER_POOL_H
#define JSON_RPC_WORKER_POOL_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

class Worker_Pool {
 public:
  Worker_Pool(std::size_t max_threads, std::chrono::seconds idle_exit,
              std::size_t max_queued = 1024);
  // Waits for the threads; tasks still queued are dropped.
  ~Worker_Pool();
  Worker_Pool(const Worker_Pool&) = delete;
  Worker_Pool& operator=(const Worker_Pool&) = delete;

  // False when the pool is stopping, its queue is full, or a thread could
  // not be started and none is running.
  bool submit(std::function<void()> task);

  // Waits until nothing is queued or running; false on timeout.
  bool drain(std::chrono::milliseconds timeout);

 private:
  void run();

  const std::size_t max_threads_;
  const std::chrono::seconds idle_exit_;
  const std::size_t max_queued_;
  std::mutex lock_;
  std::condition_variable work_ready_;
  std::condition_variable state_changed_;
  std::deque<std::function<void()>> queue_;
  std::size_t threads_ = 0;
  std::size_t idle_ = 0;
  std::size_t running_ = 0;
  bool stopping_ = false;
};

#endif
