#include "agent/platform/reader_parking.h"

#include <condition_variable>
#include <list>
#include <mutex>

#include "agent/platform/helper_threads.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

struct Spot {
  std::string key;
  Parked_Reader parked;
  Clock::time_point until;
};

struct Parking {
  std::mutex lock;
  std::condition_variable parked;
  std::list<Spot> spots;  // in the order they were parked, so by `until`
  bool sweeping = false;  // a helper closes what outlives its linger
};

// Never destroyed: the sweeper may still run while the process exits.
Parking& parking() {
  static Parking* p = new Parking();
  return *p;
}

// On a helper thread while anything is parked. Readers are closed outside
// the lock: a close waits for the reader's own helpers.
void sweep(Parking& p) {
  std::unique_lock<std::mutex> guard(p.lock);
  while (!p.spots.empty()) {
    const Clock::time_point until = p.spots.front().until;
    if (Clock::now() < until) {
      p.parked.wait_until(guard, until);
      continue;
    }
    std::list<Spot> expired;
    expired.splice(expired.end(), p.spots, p.spots.begin());
    guard.unlock();
    expired.clear();
    guard.lock();
  }
  p.sweeping = false;
}

}  // namespace

void park_reader(const std::string& key, Parked_Reader&& parked) {
  if (!parked.reader) return;
  Parking& p = parking();
  std::list<Spot> closed;
  {
    std::lock_guard<std::mutex> guard(p.lock);
    try {
      p.spots.push_back(Spot{key, std::move(parked), Clock::now() + reader_park_linger});
    } catch (const std::bad_alloc&) {
      return;  // not kept: closed on the way out
    }
    while (p.spots.size() > reader_park_capacity)
      closed.splice(closed.end(), p.spots, p.spots.begin());
    if (!p.sweeping) {
      p.sweeping = run_on_helper([&p] { sweep(p); });
      // Nothing would close them in time: keep none.
      if (!p.sweeping) closed.splice(closed.end(), p.spots);
    }
  }
}

Parked_Reader take_parked_reader(const std::string& key) {
  Parking& p = parking();
  std::lock_guard<std::mutex> guard(p.lock);
  for (auto it = p.spots.begin(); it != p.spots.end(); ++it) {
    if (it->key != key) continue;
    // One past its linger is the sweeper's to close.
    if (Clock::now() >= it->until) break;
    Parked_Reader taken = std::move(it->parked);
    p.spots.erase(it);
    return taken;
  }
  return Parked_Reader();
}

std::size_t parked_readers() {
  Parking& p = parking();
  std::lock_guard<std::mutex> guard(p.lock);
  return p.spots.size();
}

}  // namespace platform
