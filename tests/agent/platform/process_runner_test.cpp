// Commands through the platform's process runner: output and errors on the
// log, exit codes and signals as a shell reports them, signals that pause,
// resume and end, and the commands that never start.
#include "agent/platform/process_runner.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "agent/platform/files.h"
#include "tests/fakes/temp_dir.h"

using namespace std::chrono_literals;
using platform::Process_Exit;
using platform::Process_Runner;

// The commands are POSIX shell lines; platform_check runs Windows ones.
#ifdef _WIN32
#define SKIP_ON_WINDOWS() GTEST_SKIP() << "POSIX shell commands and signals"
#else
#define SKIP_ON_WINDOWS() (void)0
#endif

TEST(ProcessRunner, LogsOutputAndReportsHowTheCommandEnded) {
  SKIP_ON_WINDOWS();
  Temp_Dir dir;
  const std::string log = dir / "run.log";
  Process_Runner shell("/bin/sh -c \"echo out; echo err >&2; read x; echo got:$x; exit 3\"");
  EXPECT_EQ("/bin/sh -c \"echo out; echo err >&2; read x; echo got:$x; exit 3\"",
            shell.command_line());
  ASSERT_TRUE(shell.start(log, 0640));
  EXPECT_FALSE(shell.start(log, 0640));  // once
  EXPECT_EQ(EBUSY, errno);
  Process_Exit exit;
  EXPECT_TRUE(shell.wait(exit));
  EXPECT_EQ(3, exit.code);
  EXPECT_EQ(0, exit.signal);
  std::string text;
  ASSERT_TRUE(platform::read_file(log, text));
  EXPECT_EQ("out\nerr\ngot:\n", text);  // the null device for input

  // A second command appends; the descriptors of this process stay here.
  std::ofstream held(dir / "held");
  Process_Runner fds("/bin/sh -c \"ls /proc/self/fd | wc -l\"");
  ASSERT_TRUE(fds.start(log, 0640));
  EXPECT_TRUE(fds.wait(exit));
  ASSERT_TRUE(platform::read_file(log, text));
  // 0, 1, 2 and the one ls reads the folder with.
  EXPECT_EQ("out\nerr\ngot:\n4\n", text);
  EXPECT_FALSE(fds.wait(exit));  // waited for already
  EXPECT_EQ(0, exit.code);
}

TEST(ProcessRunner, PausesResumesAndEndsTheCommandWhileAnotherThreadWaits) {
  SKIP_ON_WINDOWS();
  Temp_Dir dir;
  Process_Runner sleeper("sleep 30");
  ASSERT_TRUE(sleeper.start(dir / "log", 0640));
  auto ended = std::async(std::launch::async, [&] {
    Process_Exit exit;
    sleeper.wait(exit);
    return exit;
  });
  sleeper.pause();
  sleeper.resume();
  EXPECT_EQ(std::future_status::timeout, ended.wait_for(100ms));
  sleeper.pause();
  sleeper.terminate();  // a paused command too
  ASSERT_EQ(std::future_status::ready, ended.wait_for(10s));
  const Process_Exit exit = ended.get();
  EXPECT_EQ(15, exit.signal);
  EXPECT_EQ(128 + 15, exit.code);
  sleeper.terminate();  // waited for: nothing is signalled
}

TEST(ProcessRunner, CommandsThatCannotStartSayWhy) {
  Temp_Dir dir;
  Process_Runner blank("   ");
  EXPECT_FALSE(blank.start(dir / "log", 0640));
  EXPECT_EQ(EINVAL, errno);
  Process_Exit exit;
  EXPECT_FALSE(blank.wait(exit));
  Process_Runner no_log("true");
  EXPECT_FALSE(no_log.start(dir / "no/such/log", 0640));
  EXPECT_EQ(ENOENT, errno);
  Process_Runner missing("wagent-no-such-program");
  EXPECT_FALSE(missing.start(dir / "log", 0640));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_FALSE(missing.wait(exit));
}

#ifndef _WIN32
// The host blocks its stop signals and ignores SIGPIPE; a command must not
// inherit either, or it could not be stopped and a pipeline in it would
// not end when its reader goes.
TEST(ProcessRunner, CommandsStartWithNoSignalBlockedOrIgnored) {
  Temp_Dir dir;
  const std::string log = dir / "log";
  struct sigaction ignore = {}, before = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(0, ::sigaction(SIGPIPE, &ignore, &before));
  sigset_t stop, mask;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  ASSERT_EQ(0, ::pthread_sigmask(SIG_BLOCK, &stop, &mask));
  Process_Runner status("grep -E \"^Sig(Blk|Ign)\" /proc/self/status");
  const bool started = status.start(log, 0640);
  ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  ::sigaction(SIGPIPE, &before, nullptr);
  ASSERT_TRUE(started);
  Process_Exit exit;
  EXPECT_TRUE(status.wait(exit));
  EXPECT_EQ(0, exit.code);
  std::string text;
  ASSERT_TRUE(platform::read_file(log, text));
  unsigned long long blocked = ~0ull, ignored = ~0ull;
  ASSERT_EQ(2, std::sscanf(text.c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored)) << text;
  // The standard signals; what glibc does with its own two above them
  // is its business.
  const unsigned long long standard = (1ull << 31) - 1;
  EXPECT_EQ(0u, blocked & standard) << text;
  EXPECT_EQ(0u, ignored & standard) << text;
}
#endif
