// The gate of a REST service's concurrency: callers beyond the bound wait,
// and are let in in the order they came.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "agent/wagent/concurrency_gate.h"

namespace {

TEST(Concurrency_Gate, CallersBeyondTheBoundWaitTheirTurnInOrder) {
  wagent::Concurrency_Gate gate(2);
  ASSERT_TRUE(gate.try_enter());
  ASSERT_TRUE(gate.try_enter());
  EXPECT_FALSE(gate.try_enter());

  std::atomic<bool> in[3] = {false, false, false};
  std::vector<std::thread> waiting;
  for (unsigned i = 0; i < 3; ++i) {
    waiting.emplace_back([&, i] { gate.enter(), in[i] = true; });
    while (gate.waiting() < i + 1) std::this_thread::yield();  // ticket taken
  }
  // Each place given up lets in exactly the oldest waiter.
  for (unsigned i = 0; i < 3; ++i) {
    EXPECT_FALSE(in[i]);
    gate.leave();
    for (int spin = 0; spin < 5000 && !in[i]; ++spin)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(in[i]);
    EXPECT_EQ(2u - i, gate.waiting());
    // Full again: a newcomer does not jump the queue.
    EXPECT_FALSE(gate.try_enter());
  }
  for (std::thread& t : waiting) t.join();
}

}  // namespace
