#include "agent/platform/helper_threads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <thread>

using namespace std::chrono_literals;

// Calls one after another reuse a waiting thread; a call that never comes
// back holds its own thread and no other call waits behind it.
TEST(HelperThreads, ReuseIdleThreadsAndNeverQueueBehindABlockedCall) {
  std::set<std::thread::id> ran_on;
  for (int i = 0; i < 20; ++i) {
    auto done = std::make_shared<std::promise<std::thread::id>>();
    std::future<std::thread::id> id = done->get_future();
    ASSERT_TRUE(platform::run_on_helper(
        [done] { done->set_value(std::this_thread::get_id()); }));
    ASSERT_EQ(std::future_status::ready, id.wait_for(10s));
    ran_on.insert(id.get());
    // Let the thread go back to waiting before the next call.
    for (int w = 0; w < 500 && platform::helper_counts().idle == 0; ++w)
      std::this_thread::sleep_for(1ms);
  }
  EXPECT_LE(ran_on.size(), 2u);

  auto gate = std::make_shared<std::promise<void>>();
  std::shared_future<void> opened = gate->get_future().share();
  ASSERT_TRUE(platform::run_on_helper([opened] { opened.wait(); }));
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> second = done->get_future();
  ASSERT_TRUE(platform::run_on_helper([done] { done->set_value(); }));
  EXPECT_EQ(std::future_status::ready, second.wait_for(10s));
  gate->set_value();
}
