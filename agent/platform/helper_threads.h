// Threads for short calls that must not run on the caller's thread (a call
// into a mounted file system that may never come back, a read-ahead). A
// thread that finishes its call waits a while for the next one instead of
// leaving, so a burst of small listings pays for thread starts only once.
#ifndef PLATFORM_HELPER_THREADS_H
#define PLATFORM_HELPER_THREADS_H

#include <chrono>
#include <functional>

namespace platform {

// How long a helper thread without work waits for more before it leaves.
constexpr std::chrono::seconds helper_linger{5};
// How many helper threads may wait so at once; others leave when done.
constexpr unsigned max_idle_helpers = 4;

// Runs `task` on a helper thread: an idle one when there is one, else a
// new one. False (errno EAGAIN) when no thread could be had; `task` has
// not run then. A task that blocks for good holds only its own thread.
// `task` must own what it touches: the caller does not wait for it.
bool run_on_helper(std::function<void()> task);

// Helper threads alive, and those of them idle (for tests and figures).
struct Helper_Counts {
  unsigned alive = 0;
  unsigned idle = 0;
};
Helper_Counts helper_counts();

}  // namespace platform

#endif
