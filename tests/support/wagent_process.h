// Runs a wagent binary as a child process for end-to-end tests and
// benchmarks: its configuration goes into a temporary directory (also its
// working directory, so default relative paths land there too), its stdout
// and stderr go to a file there, so it never blocks on a full pipe, and the
// listening address it prints is picked up.
#ifndef TESTS_SUPPORT_WAGENT_PROCESS_H
#define TESTS_SUPPORT_WAGENT_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

class Temp_Dir;

namespace wire {

class Wagent_Process {
 public:
  // Makes the temporary directory at once, so a configuration can name
  // paths inside it before start().
  explicit Wagent_Process(std::string binary);
  // Kills the child with SIGKILL when it still runs.
  ~Wagent_Process();
  Wagent_Process(const Wagent_Process&) = delete;
  Wagent_Process& operator=(const Wagent_Process&) = delete;

  const std::string& dir() const;
  // Runs without `-f CONFIG`, as a service manager starts it; the
  // configuration is still written to dir()/wagent.conf.
  void omit_config_flag() { config_flag_ = false; }

  // Writes the configuration and runs `binary -f CONFIG extra_args...`
  // until it prints its listening line. False when it ends or stays silent
  // for 10 s (it is killed then); stderr_text() tells why. May be called
  // again after stop() to restart on the same directory.
  bool start(const std::string& config_text, const std::vector<std::string>& extra_args = {});
  // Runs it expecting it to end by itself within 10 s, as for a refused
  // configuration; returns the status as stop() does.
  int run_to_exit(const std::string& config_text,
                         const std::vector<std::string>& extra_args = {});

  // From the listening line of the last start().
  const std::string& host() const { return host_; }
  unsigned short port() const { return port_; }
  pid_t pid() const { return pid_; }

  bool send_signal(int sig);
  // Sends `sig` and waits for the end; returns the status shell style: the
  // exit code, 128 + the number of the signal that ended it, or -1 when it
  // did not end in time (it is then killed). Calling it again returns the
  // same status.
  int stop(int sig = SIGTERM, std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Everything the current run wrote to stderr so far.
  std::string stderr_text() const;
  // Waits until stderr holds `needle`.
  bool wait_for_stderr(const std::string& needle, std::chrono::milliseconds timeout);

 private:
  bool spawn(const std::string& config_text, const std::vector<std::string>& extra_args);
  bool running();
  // Waits for the end until `timeout`, then kills; `what` is noted then.
  void reap(std::chrono::milliseconds timeout, const std::string& what);

  std::string binary_;
  std::unique_ptr<Temp_Dir> dir_;
  pid_t pid_ = -1;
  int status_ = -1;
  std::string host_;
  unsigned short port_ = 0;
  bool config_flag_ = true;
  std::string notes_;  // the runner's own lines, after the child's
};

}  // namespace wire

#endif
