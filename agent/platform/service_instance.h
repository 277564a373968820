// The seam every agent service offers: `Service::instance()` gives the one in
// use, `Service::instance(replacement)` installs another and returns the old
// one (as ACE's singletons do). Tests install recording fakes with the guard.
// It sits in the bottom layer so that every library, the platform included,
// offers the same seam.
#ifndef PLATFORM_SERVICE_INSTANCE_H
#define PLATFORM_SERVICE_INSTANCE_H

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

// The process's own service of a kind, made on first use; never null. The
// service's own source defines it: template <> X* default_service<X>() ...
template <class Service>
Service* default_service();

// Base of a service reached through instance(). The service's own source
// defines default_service<X>() and then instantiates the template once:
//
//   template class Service_Instance_T<X>;
//
// and its header declares `extern template class Service_Instance_T<X>;`,
// so the slot lives only in the agent library, never in a copy of the
// module's own.
template <class Service>
class Service_Instance_T {
 public:
  // The service in use; never null.
  static Service* instance();
  // Installs `replacement` (null restores the process's own) and returns the
  // previous one. Not owned.
  static Service* instance(Service* replacement);

 protected:
  ~Service_Instance_T() = default;

 private:
  // Null stands for the process's own, so the slot is constant-initialized
  // and usable from any static initializer.
  static Service_Slot_T<Service> slot_;
};

template <class Service>
Service_Slot_T<Service> Service_Instance_T<Service>::slot_(nullptr);

template <class Service>
Service* Service_Instance_T<Service>::instance() {
  Service* s = slot_.get();
  return s ? s : default_service<Service>();
}

template <class Service>
Service* Service_Instance_T<Service>::instance(Service* replacement) {
  Service* previous = slot_.exchange(replacement);
  return previous ? previous : default_service<Service>();
}

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
