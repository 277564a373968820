#include "agent/json_rpc/worker_pool.h"

#include <ace/Log_Msg.h>

#include <system_error>
#include <thread>

Worker_Pool::Worker_Pool(std::size_t max_threads,
                         std::chrono::seconds idle_exit, std::size_t max_queued)
    : max_threads_(max_threads ? max_threads : 1),
      idle_exit_(idle_exit),
      max_queued_(max_queued ? max_queued : 1) {}

Worker_Pool::~Worker_Pool() {
  std::unique_lock<std::mutex> guard(lock_);
  stopping_ = true;
  queue_.clear();
  work_ready_.notify_all();
  state_changed_.wait(guard, [this] { return threads_ == 0; });
}

bool Worker_Pool::submit(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_ || queue_.size() >= max_queued_) return false;
    queue_.push_back(std::move(task));
    if (idle_ < queue_.size() && threads_ < max_threads_) {
      try {
        std::thread(&Worker_Pool::run, this).detach();
        ++threads_;
      } catch (const std::system_error&) {
        ACE_DEBUG((LM_ERROR, ACE_TEXT("%N:%l: failed to start a worker thread\n")));
        if (threads_ == 0) {
          queue_.pop_back();
          return false;
        }
      }
    }
  }
  // Woken after the lock is let go, so the worker does not wake only to
  // wait for it.
  work_ready_.notify_one();
  return true;
}

bool Worker_Pool::drain(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return state_changed_.wait_for(guard, timeout, [this] {
    return queue_.empty() && running_ == 0;
  });
}

void Worker_Pool::run() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    while (queue_.empty() && !stopping_) {
      ++idle_;
      bool woke = work_ready_.wait_for(guard, idle_exit_, [this] {
        return !queue_.empty() || stopping_;
      });
      --idle_;
      if (!woke) break;
    }
    if (queue_.empty() || stopping_) break;
    std::function<void()> task = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    guard.unlock();
    try {
      task();
    } catch (...) {
      ACE_DEBUG((LM_ERROR, ACE_TEXT("%N:%l: a worker task threw; dropped\n")));
    }
    task = nullptr;
    guard.lock();
    --running_;
    state_changed_.notify_all();
  }
  --threads_;
  state_changed_.notify_all();
}
