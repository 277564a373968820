// The reconnect back-off: every wait within its step, steps doubling to the
// cap, waits spread rather than in lock-step.
#include <gtest/gtest.h>

#include <set>

#include "agent/wagent/backoff.h"

namespace {

using namespace std::chrono_literals;

TEST(Reconnect_Backoff, WaitsStayWithinDoublingStepsUpToTheCap) {
  wagent::Reconnect_Backoff backoff(1000ms, 30000ms);
  const long long caps[] = {1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000};
  for (long long cap : caps) {
    const auto wait = backoff.next();
    EXPECT_GE(wait.count(), 0);
    EXPECT_LE(wait.count(), cap);
  }
  backoff.reset();
  EXPECT_EQ(1000, backoff.step().count());
  EXPECT_LE(backoff.next().count(), 1000);
}

TEST(Reconnect_Backoff, AgentsThatLostTheirServerTogetherComeBackSpread) {
  // Thirty agents at the same step: their waits do not fall in one second.
  std::set<long long> seconds;
  for (int agent = 0; agent < 30; ++agent) {
    wagent::Reconnect_Backoff backoff(1000ms, 30000ms);
    for (int i = 0; i < 5; ++i) backoff.next();
    seconds.insert(backoff.next().count() / 1000);
  }
  EXPECT_GT(seconds.size(), 5u);
}

}  // namespace
