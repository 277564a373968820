// How long an agent waits before it tries its management server again.
// Each wait is drawn at random between zero and a step that doubles up to a
// cap ("full jitter"): agents that lost their server together come back
// spread over the window instead of all in the same second, wave after
// wave.
#ifndef WAGENT_BACKOFF_H
#define WAGENT_BACKOFF_H

#include <chrono>
#include <random>

namespace wagent {

class Reconnect_Backoff {
 public:
  Reconnect_Backoff(std::chrono::milliseconds first, std::chrono::milliseconds cap)
      : first_(first), cap_(cap), step_(first), random_(std::random_device{}()) {}

  // The wait before the next attempt; the step after it doubles.
  std::chrono::milliseconds next() {
    std::uniform_int_distribution<long long> draw(0, step_.count());
    const std::chrono::milliseconds wait(draw(random_));
    step_ = std::min(step_ * 2, cap_);
    return wait;
  }
  // Connected: the next loss starts from the first step again.
  void reset() { step_ = first_; }
  std::chrono::milliseconds step() const { return step_; }

 private:
  const std::chrono::milliseconds first_;
  const std::chrono::milliseconds cap_;
  std::chrono::milliseconds step_;
  std::mt19937_64 random_;
};

}  // namespace wagent

#endif
