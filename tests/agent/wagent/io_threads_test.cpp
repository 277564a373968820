// The io threads of one lane: threads that block are replaced, the extra
// ones leave again, and the lane is never left without a thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "agent/wagent/io_threads.h"

namespace {

using namespace std::chrono_literals;
using wagent::Io_Threads;

struct Lane {
  boost::asio::io_context ioc;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{
      ioc.get_executor()};
  Io_Threads io{ioc, 1, 64, 256};
  Lane() { io.start(); }
  ~Lane() {
    work.reset();
    io.stop(2s);
  }

  // True when a handler posted now runs within `limit`.
  bool answers(std::chrono::milliseconds limit) {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    boost::asio::post(ioc, [ran] { *ran = true; });
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end && !*ran;)
      std::this_thread::sleep_for(1ms);
    return *ran;
  }
};

// Bursts of handlers that block make many extra threads at once; in the
// pauses they all find themselves idle together and leave together, which
// once let two of them take the last place and leave the lane empty.
TEST(Io_Threads, BurstsAndPausesNeverLeaveTheLaneWithoutAThread) {
  Lane lane;
  std::mt19937 random(42);
  std::uniform_int_distribution<int> pause(100, 180);
  for (int round = 0; round < 25; ++round) {
    std::atomic<int> done{0};
    for (int i = 0; i < 24; ++i)
      boost::asio::post(lane.ioc, [&lane, &done] {
        Io_Threads::Handler_Scope scope(lane.io);
        Io_Threads::Blocking_Scope blocking;
        std::this_thread::sleep_for(10ms);
        ++done;
      });
    while (done < 24) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    ASSERT_GE(lane.io.threads(), 1u) << "round " << round;
    ASSERT_TRUE(lane.answers(2s)) << "round " << round;
  }
}

TEST(Io_Threads, ExtraThreadsLeaveOnceIdle) {
  Lane lane;
  std::atomic<int> done{0};
  for (int i = 0; i < 8; ++i)
    boost::asio::post(lane.ioc, [&] {
      Io_Threads::Handler_Scope scope(lane.io);
      Io_Threads::Blocking_Scope blocking;
      std::this_thread::sleep_for(50ms);
      ++done;
    });
  while (done < 8) std::this_thread::sleep_for(1ms);
  EXPECT_GT(lane.io.threads(), 1u);
  for (int i = 0; i < 300 && lane.io.threads() > 1; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(1u, lane.io.threads());
  EXPECT_TRUE(lane.answers(2s));
}

// Work a thread hands on (deferred to itself, as a write completion resumes
// a parked reply) must still run when that thread then leaves the lane
// while the others wait for the socket or are busy: such work once waited
// for whatever next woke the lane, and a reply with it.
TEST(Io_Threads, WorkHandedOnByAThreadThatLeavesStillRuns) {
  using Clock = std::chrono::steady_clock;
  boost::asio::io_context ioc;
  auto work = boost::asio::make_work_guard(ioc);
  // Made first, so the reactor is there before any thread waits: one base
  // thread takes it and waits in it without a timeout.
  boost::asio::steady_timer timer(ioc);
  Io_Threads io(ioc, 2, 64, 256);
  io.start();
  std::this_thread::sleep_for(100ms);

  // The other base thread blocks, so an extra one is made; the blocked one
  // stays in its handler, unblocked later, until the handed-on work ran.
  std::atomic<bool> release{false}, released{false}, handed_on_ran{false};
  boost::asio::post(ioc, [&] {
    {
      Io_Threads::Blocking_Scope blocking;
      while (!release) std::this_thread::sleep_for(1ms);
    }
    released = true;
    for (auto end = Clock::now() + 3s; !handed_on_ran && Clock::now() < end;)
      std::this_thread::sleep_for(1ms);
  });
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(3u, io.threads());
  const auto extra_made = Clock::now();

  // Posted from outside the lane, it wakes the idle extra thread, not the
  // one in the reactor. Past its first second the extra thread may leave
  // after any handler, and once the blocked one is free it does.
  boost::asio::post(ioc, [&] {
    std::this_thread::sleep_until(extra_made + 1100ms);
    release = true;
    while (!released) std::this_thread::sleep_for(1ms);
    Io_Threads::hand_on(ioc.get_executor(), [&] { handed_on_ran = true; });
  });
  for (auto end = Clock::now() + 2s; !handed_on_ran && Clock::now() < end;)
    std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(handed_on_ran);
  for (int i = 0; i < 100 && io.threads() > 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(2u, io.threads()) << "the extra thread did not leave";
  work.reset();
  io.stop(5s);
}

// The monitor sleeps once nothing runs; the first handler after a quiet
// spell wakes it and calls the hook, which the host uses to trim its heap.
TEST(Io_Threads, TheFirstHandlerAfterAQuietSpellCallsTheWakeHook) {
  Lane lane;
  std::atomic<int> woken{0};
  lane.io.on_wake([&] { ++woken; });
  std::this_thread::sleep_for(1500ms);  // well past the monitor's linger
  boost::asio::post(lane.ioc, [&] { Io_Threads::Handler_Scope scope(lane.io); });
  for (int i = 0; i < 200 && woken == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(1, woken.load());
  // A handler that blocks past a tick is still replaced after the wake.
  std::atomic<bool> release{false};
  boost::asio::post(lane.ioc, [&] {
    Io_Threads::Handler_Scope scope(lane.io);
    while (!release) std::this_thread::sleep_for(1ms);
  });
  EXPECT_TRUE(lane.answers(2s));
  release = true;
}

// The handler cap counts handlers of every lane together; callers without
// a session get a quarter of it, so they never fill it for keyed ones.
TEST(Io_Threads, HandlersPastTheCapAreRefusedUntilOthersEnd) {
  using Scope = Io_Threads::Handler_Scope;
  wagent::Io_Lanes lanes(2, 16, 256);
  lanes.limit_handlers(8);
  Io_Threads& a = lanes.next().io;
  Io_Threads& b = lanes.next().io;
  std::vector<std::unique_ptr<Scope>> running;
  running.emplace_back(new Scope(a, true));
  running.emplace_back(new Scope(b, true));
  EXPECT_FALSE(Scope(a, true).admitted()) << "past the anonymous share";
  for (int i = 0; i < 6; ++i) {
    running.emplace_back(new Scope(i % 2 ? a : b));
    EXPECT_TRUE(running.back()->admitted()) << i;
  }
  EXPECT_EQ(8u, lanes.handlers());
  EXPECT_FALSE(Scope(a).admitted());
  EXPECT_FALSE(Scope(b).admitted());
  // Work admitted before goes on whatever the count.
  EXPECT_TRUE(Scope(a, Scope::Resumed()).admitted());
  running.erase(running.begin());  // an anonymous one ends
  EXPECT_TRUE(Scope(b, true).admitted());
  running.pop_back();
  EXPECT_TRUE(Scope(b).admitted());
  running.clear();
  EXPECT_EQ(0u, lanes.handlers());
}

}  // namespace
