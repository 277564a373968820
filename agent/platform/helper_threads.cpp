#include "agent/platform/helper_threads.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {

namespace {

struct Helpers {
  std::mutex lock;
  std::condition_variable work;
  std::deque<std::function<void()>> tasks;
  unsigned alive = 0;
  unsigned idle = 0;
};

// Never destroyed: a helper stuck in a dead mount may still be running
// while the process exits.
Helpers& helpers() {
  static Helpers* h = new Helpers();
  return *h;
}

void serve(Helpers& h) {
  std::unique_lock<std::mutex> guard(h.lock);
  for (;;) {
    // A burst (a hundred listings at once) leaves only a few threads
    // waiting behind it.
    if (h.idle >= max_idle_helpers) break;
    ++h.idle;
    const bool got = h.work.wait_for(guard, helper_linger,
                                     [&] { return !h.tasks.empty(); });
    --h.idle;
    if (!got) break;
    std::function<void()> task = std::move(h.tasks.front());
    h.tasks.pop_front();
    guard.unlock();
    try {
      task();
    } catch (...) {
      // A task reports its own failures; one that throws still must not
      // take the process down.
    }
    task = nullptr;  // what it captured goes before the thread idles
    guard.lock();
  }
  --h.alive;
}

}  // namespace

bool run_on_helper(std::function<void()> task) {
  Helpers& h = helpers();
  std::lock_guard<std::mutex> guard(h.lock);
  try {
    h.tasks.push_back(std::move(task));
  } catch (const std::bad_alloc&) {
    errno = EAGAIN;
    return false;
  }
  // Tasks queued beyond the idle threads each get a thread of their own.
  if (h.tasks.size() <= h.idle) {
    h.work.notify_one();
    return true;
  }
  try {
    std::thread([&h] { serve(h); }).detach();
    ++h.alive;
  } catch (const std::system_error&) {
    h.tasks.pop_back();
    errno = EAGAIN;
    return false;
  }
  return true;
}

Helper_Counts helper_counts() {
  Helpers& h = helpers();
  std::lock_guard<std::mutex> guard(h.lock);
  return Helper_Counts{h.alive, h.idle};
}

}  // namespace platform
