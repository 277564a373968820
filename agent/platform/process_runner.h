// One command run as a process of its own: its input the null device, its
// output and errors appended to a log file, and only the three standard
// handles inherited (a command that outlives the agent must not keep its
// listening socket or its files). The object keeps the process's id for its
// whole life, so the process can be signalled through it while another
// thread waits for it.
//
// A command is supervised as a tree: on POSIX it leads a process group of
// its own and carries a mark in its environment that what it starts
// inherits, so a daemon that left the group (setsid) is still found; on
// Windows it runs in a job object of its own. Ending the command (a
// timeout, terminate(), the agent's stop) ends the whole tree: SIGTERM,
// the grace period, then SIGKILL; and what the command left running when
// it exited is ended the same way before wait() returns, so nothing it
// started outlives it. The system's side is posix_process_runner.cpp or
// win32_process_runner.cpp.
#ifndef PLATFORM_PROCESS_RUNNER_H
#define PLATFORM_PROCESS_RUNNER_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// How a command is held to account.
struct Process_Limits {
  std::chrono::seconds timeout{0};  // 0: no limit
  // Between SIGTERM and SIGKILL when the tree is ended (Windows ends it at
  // once: it has no signal to ask with).
  std::chrono::seconds grace{5};
  // Output bytes written to the log; what comes past them is counted, not
  // written. 0: no cap. (POSIX; a Windows command writes its log itself.)
  std::uint64_t max_output = 0;
};

// How a process ended.
struct Process_Exit {
  // Its exit code; for one ended by a signal, 128 + the signal, as a shell
  // reports it.
  int code = 0;
  int signal = 0;           // the signal that ended it; 0 when it exited
  bool timed_out = false;   // ended because its timeout ran out
  bool cancelled = false;   // ended by terminate() or the agent's stop
  std::int64_t duration_ms = 0;
  std::uint64_t output_bytes = 0;  // everything it wrote, the capped part too
};

class Process_Runner {
 public:
  // `command_line`: the program and its arguments, split at blanks, quotes
  // grouping words. The limits start as default_limits().
  explicit Process_Runner(const std::string& command_line);
  // Leaves a process still running alone.
  ~Process_Runner();
  Process_Runner(const Process_Runner&) = delete;
  Process_Runner& operator=(const Process_Runner&) = delete;

  // The command line as it runs (the process layer keeps its first 1023
  // bytes).
  const std::string& command_line() const;
  // Before start().
  void set_limits(const Process_Limits& limits);
  const Process_Limits& limits() const;
  // Starts the process with its output and errors appended to `log_path`
  // (made with `log_mode` when missing). False with errno set when it cannot
  // start: EINVAL for a line that names no program, EBUSY once started.
  bool start(const std::string& log_path, int log_mode);
  // Carries the command's output to the log and waits for it to end,
  // ending its tree on a timeout, a terminate() or when it exits leaving
  // processes behind. False when there was none or the wait failed; `out`
  // then says code 0.
  bool wait(Process_Exit& out);

  // Asks the tree to end (a paused one too): SIGTERM now, SIGKILL after the
  // grace period, carried out by wait(); the exit then reads as cancelled.
  // Pause and resume reach the whole tree. Nothing happens once it has been
  // waited for. On Windows ending is at once and takes the whole job; its
  // exit then reads as SIGTERM's (code 143, signal 15).
  void terminate();
  void pause();
  void resume();
  // Ends the tree at once (SIGKILL), without waiting for wait().
  void kill();

  // Every command running in this process, as terminate() and kill() do:
  // what a stop of the agent does with the commands it started.
  static void terminate_all();
  static void kill_all();
  // The limits new runners start with (the host's settings).
  static void set_default_limits(const Process_Limits& limits);
  static Process_Limits default_limits();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  // The register of running commands (process_runner.cpp).
  void enlist();
  void delist();
};

}  // namespace platform

#endif
