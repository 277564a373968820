// One command run as a process of its own: its input the null device, its
// output and errors appended to a log file, and only the three standard
// handles inherited (a command that outlives the agent must not keep its
// listening socket or its files). The object keeps the process's id for its
// whole life, so the process can be signalled through it while another
// thread waits for it. The system's side is posix_process_runner.cpp, or
// win32_process_runner.cpp, where the process runs in a job object of its
// own and what it starts goes with it when it is ended.
#ifndef PLATFORM_PROCESS_RUNNER_H
#define PLATFORM_PROCESS_RUNNER_H

#include <memory>
#include <string>

namespace platform {

// How a process ended.
struct Process_Exit {
  // Its exit code; for one ended by a signal, 128 + the signal, as a shell
  // reports it.
  int code = 0;
  int signal = 0;  // the signal that ended it; 0 when it exited
};

class Process_Runner {
 public:
  // `command_line`: the program and its arguments, split at blanks, quotes
  // grouping words.
  explicit Process_Runner(const std::string& command_line);
  // Leaves a process still running alone.
  ~Process_Runner();
  Process_Runner(const Process_Runner&) = delete;
  Process_Runner& operator=(const Process_Runner&) = delete;

  // The command line as it runs (the process layer keeps its first 1023
  // bytes).
  const std::string& command_line() const;
  // Starts the process with its output and errors appended to `log_path`
  // (made with `log_mode` when missing). False with errno set when it cannot
  // start: EINVAL for a line that names no program, EBUSY once started.
  bool start(const std::string& log_path, int log_mode);
  // Waits for the started process to end. False when there was none or the
  // wait failed; `out` then says code 0.
  bool wait(Process_Exit& out);

  // Asks the process to end (a paused one too), to pause, to go on. Nothing
  // happens once it has been waited for. On Windows, where there is no
  // signal to ask with, ending is at once and takes the whole job; its exit
  // then reads as SIGTERM's (code 143, signal 15).
  void terminate();
  void pause();
  void resume();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform

#endif
