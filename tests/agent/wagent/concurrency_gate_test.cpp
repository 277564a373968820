// The gate of a REST service's concurrency: callers beyond the bound wait,
// and are let in in the order they came.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/wagent/concurrency_gate.h"

namespace {

TEST(Concurrency_Gate, CallersBeyondTheBoundWaitTheirTurnInOrder) {
  wagent::Concurrency_Gate gate(2);
  ASSERT_TRUE(gate.try_enter());
  ASSERT_TRUE(gate.try_enter());
  EXPECT_FALSE(gate.try_enter());

  std::mutex lock;
  std::vector<int> order;
  std::vector<std::thread> waiting;
  for (int i = 0; i < 3; ++i) {
    waiting.emplace_back([&, i] {
      gate.enter();
      std::lock_guard<std::mutex> g(lock);
      order.push_back(i);
    });
    // Each takes its ticket before the next starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  {
    std::lock_guard<std::mutex> g(lock);
    EXPECT_TRUE(order.empty());
  }
  gate.leave();
  gate.leave();
  waiting[0].join();
  waiting[1].join();
  // Full again: a newcomer does not jump the queue.
  EXPECT_FALSE(gate.try_enter());
  gate.leave();
  waiting[2].join();
  EXPECT_EQ((std::vector<int>{0, 1, 2}), order);
}

}  // namespace
