// The seam every agent service offers: `Service::instance()` gives the one in
// use, `Service::instance(replacement)` installs another and returns the old
// one (as ACE's singletons do). Tests install recording fakes with the guard.
#ifndef MDRT_SERVICE_INSTANCE_H
#define MDRT_SERVICE_INSTANCE_H

#include <atomic>

template <class Service>
class Service_Slot_T {
 public:
  constexpr explicit Service_Slot_T(Service* initial) : current_(initial) {}
  Service* get() const { return current_.load(std::memory_order_acquire); }
  Service* exchange(Service* s) {
    return current_.exchange(s, std::memory_order_acq_rel);
  }

 private:
  std::atomic<Service*> current_;
};

// Installs a replacement for the scope's duration and restores the previous
// instance on exit. The replacement is not owned.
template <class Service>
class Scoped_Instance_T {
 public:
  explicit Scoped_Instance_T(Service* replacement)
      : previous_(Service::instance(replacement)) {}
  ~Scoped_Instance_T() { Service::instance(previous_); }
  Scoped_Instance_T(const Scoped_Instance_T&) = delete;
  Scoped_Instance_T& operator=(const Scoped_Instance_T&) = delete;

 private:
  Service* previous_;
};

#endif
