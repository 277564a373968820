// Stop requests on POSIX: a program of its own, since a caught request
// leaves SIGINT and SIGTERM ignored for the rest of the process.
#include "agent/platform/stop_request.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

using namespace std::chrono_literals;

TEST(StopRequest, FirstSignalIsDeliveredOnceAndLaterOnesAreIgnored) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto first = std::make_shared<std::promise<int>>();
  std::future<int> delivered = first->get_future();
  ASSERT_TRUE(platform::on_stop_request([calls, first](int signal) {
    if (calls->fetch_add(1) == 0) first->set_value(signal);
  }));
  EXPECT_FALSE(platform::on_stop_request([](int) {}));  // once per process

  ASSERT_EQ(0, ::raise(SIGTERM));
  ASSERT_EQ(std::future_status::ready, delivered.wait_for(10s));
  EXPECT_EQ(SIGTERM, delivered.get());

  // Ignored from now on: neither ends the process nor calls again.
  ASSERT_EQ(0, ::raise(SIGINT));
  ASSERT_EQ(0, ::raise(SIGTERM));
  struct sigaction now {};
  ASSERT_EQ(0, ::sigaction(SIGINT, nullptr, &now));
  EXPECT_EQ(SIG_IGN, now.sa_handler);
  ASSERT_EQ(0, ::sigaction(SIGTERM, nullptr, &now));
  EXPECT_EQ(SIG_IGN, now.sa_handler);
  EXPECT_EQ(1, calls->load());
}
