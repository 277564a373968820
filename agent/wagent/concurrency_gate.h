// Bounds how many requests of one service run at once (a REST handler's
// concurrency()). Requests beyond the bound wait their turn, first come
// first served, instead of being refused: the bound protects what the
// service uses, not the client.
#ifndef WAGENT_CONCURRENCY_GATE_H
#define WAGENT_CONCURRENCY_GATE_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace wagent {

class Concurrency_Gate {
 public:
  explicit Concurrency_Gate(unsigned limit) : limit_(limit) {}

  // Enters at once when there is room and nobody waits; false otherwise.
  bool try_enter() {
    std::lock_guard<std::mutex> g(lock_);
    if (inside_ >= limit_ || serving_ != next_ticket_) return false;
    ++inside_;
    ++serving_;
    ++next_ticket_;
    return true;
  }
  // Waits for this caller's turn, then enters.
  void enter() {
    std::unique_lock<std::mutex> g(lock_);
    const std::uint64_t ticket = next_ticket_++;
    changed_.wait(g, [&] { return inside_ < limit_ && serving_ == ticket; });
    ++inside_;
    ++serving_;
    g.unlock();
    changed_.notify_all();  // the next ticket may fit as well
  }
  // Callers waiting for their turn.
  std::uint64_t waiting() const {
    std::lock_guard<std::mutex> g(lock_);
    return next_ticket_ - serving_;
  }
  void leave() {
    {
      std::lock_guard<std::mutex> g(lock_);
      --inside_;
    }
    changed_.notify_all();
  }

 private:
  const unsigned limit_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  unsigned inside_ = 0;
  std::uint64_t next_ticket_ = 0;  // handed to the next caller
  std::uint64_t serving_ = 0;      // the ticket whose turn it is
};

}  // namespace wagent

#endif
