// Calls that touch a mounted file system run on a helper thread with a
// bounded wait: a dead network mount blocks them for good.
#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>

#include "agent/platform/helper_threads.h"
#include "agent/platform/posix_platform.h"

namespace {

// A probe thread's progress, shared by the thread and its caller.
struct Task_State {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool threw = false;
  bool stuck = false;  // its caller gave up on it; guarded by the registry
};

// How many given-up probes are still running, by key.
struct Stuck_Registry {
  std::mutex mutex;
  std::map<std::string, int> count;
};

// Never destroyed: stuck threads finish on their own, possibly during exit.
Stuck_Registry& stuck_registry() {
  static Stuck_Registry* registry = new Stuck_Registry();
  return *registry;
}

platform::Path_Probe probe_path(const std::string& path, bool want_real,
                                bool want_statvfs) {
  platform::Path_Probe p;
  if (want_real) {
    p.real = platform::real_path(path);
    if (p.real.empty()) p.real_error = errno;
  }
  if (want_statvfs) {
    if (::statvfs(path.c_str(), &p.vfs) == 0) {
      p.have_stat = true;
      struct stat st;
      if (p.vfs.f_fsid == 0 && ::stat(path.c_str(), &st) == 0)
        p.dev = st.st_dev;
    } else {
      p.stat_error = errno;
    }
  }
  return p;
}

}  // namespace

namespace platform {

std::string real_path(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return std::string();
  std::string out(real);
  std::free(real);
  return out;
}

bool bounded_probe(const std::vector<Mount_Entry>& mounts, const std::string& path,
                   bool want_real, bool want_statvfs, Path_Probe& out) {
  const Mount_Entry* m = find_mount(mounts, path);
  return run_bounded(
      m ? m->mount_point : path, volume_wait_limit,
      [path, want_real, want_statvfs]() {
        return probe_path(path, want_real, want_statvfs);
      },
      out);
}

bool run_bounded_task(const std::string& key, std::chrono::milliseconds limit,
                      std::function<void()> task) {
  Stuck_Registry& registry = stuck_registry();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (registry.count.count(key)) {
      errno = ETIMEDOUT;
      return false;
    }
  }

  auto state = std::make_shared<Task_State>();
  if (!run_on_helper([state, key, task = std::move(task)]() {
        bool threw = false;
        try {
          task();
        } catch (...) {
          threw = true;
        }
        Stuck_Registry& registry = stuck_registry();
        std::lock_guard<std::mutex> registry_lock(registry.mutex);
        std::lock_guard<std::mutex> lock(state->mutex);
        state->done = true;
        state->threw = threw;
        if (state->stuck && --registry.count[key] == 0) registry.count.erase(key);
        state->finished.notify_all();
      }))
    return false;

  {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->finished.wait_for(lock, limit, [&] { return state->done; });
  }
  // Lock order as in the thread: registry, then state.
  std::lock_guard<std::mutex> registry_lock(registry.mutex);
  std::lock_guard<std::mutex> lock(state->mutex);
  if (state->done) {
    if (state->threw) errno = ENOMEM;
    return !state->threw;
  }
  state->stuck = true;
  ++registry.count[key];
  errno = ETIMEDOUT;
  return false;
}

}  // namespace platform
