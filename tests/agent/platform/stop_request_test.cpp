// Stop requests on POSIX: a program of its own, since a held request stays
// blocked for the rest of the process.
#include "agent/platform/stop_request.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "agent/platform/process_runner.h"
#include "tests/fakes/temp_dir.h"

// The signal goes to the process, not to the waiting thread: any thread
// started after the hold must leave it to the wait.
TEST(StopRequest, HeldSignalsReachTheWaitAndLaterOnesAreDropped) {
  ASSERT_TRUE(platform::hold_stop_requests());
  std::future<int> first = std::async(std::launch::async, platform::wait_for_stop_request);
  std::thread busy([] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
  ASSERT_EQ(0, ::kill(::getpid(), SIGTERM));
  ASSERT_EQ(std::future_status::ready, first.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(SIGTERM, first.get());
  busy.join();
  // Neither ends the process.
  ASSERT_EQ(0, ::kill(::getpid(), SIGINT));
  ASSERT_EQ(0, ::kill(::getpid(), SIGTERM));
}

// A command the host runs can still be stopped by SIGTERM.
TEST(StopRequest, ChildrenStartWithoutTheHold) {
  ASSERT_TRUE(platform::hold_stop_requests());
  Temp_Dir dir;
  platform::Process_Runner child("sleep 30");
  ASSERT_TRUE(child.start(dir.path() + "/log", 0600));
  child.terminate();
  platform::Process_Exit end;
  ASSERT_TRUE(child.wait(end));
  EXPECT_EQ(SIGTERM, end.signal);
}
