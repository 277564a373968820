// Process_Runner over posix_spawn, with ACE's process options splitting the
// command line as on every other system. The child gets the null device,
// a pipe for its output and error, and no other descriptor; wait() carries
// the pipe to the log, so the output can be counted and capped. The child
// leads a process group of its own and carries a mark in its environment,
// and the tree is found by both in /proc.
#include "agent/platform/process_runner.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_signal.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Process.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <vector>

extern char** environ;

namespace platform {

namespace {

typedef std::chrono::steady_clock Clock;

const char MARK_NAME[] = "WAGENT_COMMAND_MARK";

// Starts `argv` on the three handles with `env`. The host holds its stop
// signals blocked for one thread to take, and ignores some: the child
// starts with none blocked and every one at its default, or it could not be
// stopped, or a pipeline in it would not see its reader go. It leads a
// group of its own, so its tree can be signalled as one. glibc's child runs
// none of our code (nor a sanitizer's) between its clone and the exec, so
// nothing a fork would copy mid-use can hold it, and a program that cannot
// be run is an error here, not an exit code later.
int spawn_child(char* const argv[], char* const env[], int in, int out, pid_t& pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (int error = ::posix_spawn_file_actions_init(&actions)) return error;
  int error = ::posix_spawnattr_init(&attr);
  if (error) {
    ::posix_spawn_file_actions_destroy(&actions);
    return error;
  }
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  error = ::posix_spawnattr_setflags(
      &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (!error) error = ::posix_spawnattr_setpgroup(&attr, 0);
  if (!error) error = ::posix_spawnattr_setsigmask(&attr, &none);
  if (!error) error = ::posix_spawnattr_setsigdefault(&attr, &all);
  if (!error) error = ::posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
  if (!error) error = ::posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  if (!error) error = ::posix_spawn_file_actions_adddup2(&actions, out, STDERR_FILENO);
  // Descriptors opened without close-on-exec (by a library, or by another
  // thread meanwhile) stay here too.
  if (!error) error = ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  if (!error) error = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv, env);
  ::posix_spawnattr_destroy(&attr);
  ::posix_spawn_file_actions_destroy(&actions);
  return error;
}

// The agent's environment with `entry` ("NAME=VALUE") in place of any
// variable of that name.
std::vector<char*> environment_with(std::string& entry) {
  const std::size_t name = entry.find('=') + 1;
  std::vector<char*> env;
  for (char** e = environ; e && *e; ++e)
    if (std::strncmp(*e, entry.c_str(), name) != 0) env.push_back(*e);
  env.push_back(&entry[0]);
  env.push_back(nullptr);
  return env;
}

// Moves `fd` above the standard three, so setting those up in the child
// cannot overwrite another of its handles (a host started with one of
// them closed hands those numbers out).
bool above_standard(ACE_HANDLE& fd) {
  if (fd > STDERR_FILENO) return true;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return false;
  ::close(fd);
  fd = moved;
  return true;
}

struct Handle_Guard {
  ACE_HANDLE handle;
  ~Handle_Guard() {
    if (handle != ACE_INVALID_HANDLE) ACE_OS::close(handle);
  }
};

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string random_mark() {
  std::random_device source;
  char text[33];
  for (int k = 0; k < 4; ++k)
    std::snprintf(text + 8 * k, 9, "%08x", static_cast<unsigned>(source()));
  return text;
}

// The fields of /proc/<pid>/stat the tree is found by. False for a process
// gone meanwhile.
struct Proc_Stat {
  char state = 0;
  pid_t group = 0;
  unsigned long long start = 0;  // clock ticks after boot
};

bool read_stat(pid_t pid, Proc_Stat& out) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[1024];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return false;
  text[n] = 0;
  // The name in parentheses may hold anything, parentheses too.
  const char* after = std::strrchr(text, ')');
  int group = 0;
  return after && std::sscanf(after + 1,
                              " %c %*d %d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d "
                              "%*d %*d %*d %*d %llu",
                              &out.state, &group, &out.start) == 3 &&
         (out.group = group, true);
}

bool carries_mark(pid_t pid, const std::string& entry) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/environ", static_cast<int>(pid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text(1, '\0');
  char buffer[8192];
  ssize_t n;
  while (text.size() < (1u << 20) && (n = ::read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return text.find(entry) != std::string::npos;
}

}  // namespace

struct Process_Runner::Impl {
  ACE_Process_Options options;
  std::string command_line;
  Process_Limits limits = Process_Runner::default_limits();
  bool started = false;
  // The running process; 0 before the start and once waited for, so a late
  // signal never reaches a process that reused the id. The leader is reaped
  // only after its tree has gone, so its group id cannot be reused either.
  std::atomic<pid_t> pid{0};
  unsigned long long leader_start = 0;
  std::string mark_entry;  // "\0NAME=VALUE\0" as it shows in /proc/<pid>/environ
  int output = -1;         // the pipe's reading end
  int log = -1;
  int wake[2] = {-1, -1};  // terminate() wakes the waiter through it
  int pid_fd = -1;         // readable once the leader has ended; -1 without pidfd
  Clock::time_point started_at;
  std::uint64_t output_bytes = 0;
  std::uint64_t written = 0;

  // The ending of the tree, asked for by any thread and carried out by
  // the waiter.
  std::mutex lock;
  bool cancelled = false;
  bool timed_out = false;
  bool term_sent = false;
  bool kill_sent = false;
  Clock::time_point kill_at;

  ~Impl() {
    close_fd(output);
    close_fd(log);
    close_fd(wake[0]);
    close_fd(wake[1]);
    close_fd(pid_fd);
  }

  // The processes of the tree but the leader: the group's living members,
  // and those started after the leader that carry its mark.
  std::vector<pid_t> members(pid_t leader) const {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (!proc) return found;
    const pid_t self = ::getpid();
    while (dirent* e = ::readdir(proc)) {
      char* end = nullptr;
      const long id = std::strtol(e->d_name, &end, 10);
      if (id <= 0 || *end || id == leader || id == self) continue;
      Proc_Stat stat;
      if (!read_stat(static_cast<pid_t>(id), stat) || stat.state == 'Z' ||
          stat.state == 'X')
        continue;
      if (stat.group == leader ||
          (stat.start >= leader_start && carries_mark(static_cast<pid_t>(id), mark_entry)))
        found.push_back(static_cast<pid_t>(id));
    }
    ::closedir(proc);
    return found;
  }

  // Signals every process of the tree, the leader while it lives. Under
  // `lock`.
  void signal_tree(int number) {
    const pid_t leader = pid.load();
    if (leader <= 0) return;
    ACE_OS::kill(-leader, number);
    for (pid_t p : members(leader)) ACE_OS::kill(p, number);
  }

  // Under `lock`.
  void begin_end(Clock::time_point now) {
    if (term_sent) return;
    term_sent = true;
    kill_at = now + limits.grace;
    signal_tree(SIGTERM);
    signal_tree(SIGCONT);  // a paused process must see it
  }

  void wake_waiter() {
    if (wake[1] >= 0) {
      const char one = 1;
      (void)!::write(wake[1], &one, 1);
    }
  }

  // Moves what the pipe holds to the log; false at its end.
  bool carry_output() {
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(output, buffer, sizeof buffer);
      if (n == 0) return false;
      if (n < 0) return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? true : false;
      output_bytes += static_cast<std::uint64_t>(n);
      std::uint64_t take = static_cast<std::uint64_t>(n);
      if (limits.max_output) take = std::min(take, limits.max_output - std::min(written, limits.max_output));
      for (std::uint64_t done = 0; done < take;) {
        const ssize_t w = ::write(log, buffer + done, take - done);
        if (w <= 0) {
          if (w < 0 && errno == EINTR) continue;
          take = done;  // a full disk: counted, not written
          break;
        }
        done += static_cast<std::uint64_t>(w);
      }
      written += take;
    }
  }

  // Waits up to `wait_ms` for output, the leader's end (when `leader`) or
  // a wake-up, carrying output on.
  void wait_for_news(int wait_ms, bool leader = true) {
    pollfd p[3];
    nfds_t n = 0;
    if (output >= 0) p[n++] = {output, POLLIN, 0};
    if (leader && pid_fd >= 0) p[n++] = {pid_fd, POLLIN, 0};
    p[n++] = {wake[0], POLLIN, 0};
    if (::poll(p, n, wait_ms) <= 0) return;
    if (output >= 0 && p[0].revents && !carry_output()) close_fd(output);
    if (p[n - 1].revents) {
      char drain[64];
      while (::read(wake[0], drain, sizeof drain) > 0) {
      }
    }
  }

  bool leader_ended() {
    siginfo_t info;
    info.si_pid = 0;
    return ::waitid(P_PID, static_cast<id_t>(pid.load()), &info,
                    WEXITED | WNOHANG | WNOWAIT) != 0 ||
           info.si_pid != 0;
  }

  // Milliseconds until `when`, at least 0, at most `cap`.
  static int until(Clock::time_point when, Clock::time_point now, int cap) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(ms, cap)));
  }
};

Process_Runner::Process_Runner(const std::string& command_line) : impl_(new Impl) {
  impl_->options.command_line("%s", command_line.c_str());
  impl_->command_line = impl_->options.command_line_buf();
}

Process_Runner::~Process_Runner() { delist(); }

const std::string& Process_Runner::command_line() const { return impl_->command_line; }

void Process_Runner::set_limits(const Process_Limits& limits) { impl_->limits = limits; }

const Process_Limits& Process_Runner::limits() const { return impl_->limits; }

bool Process_Runner::start(const std::string& log_path, int log_mode) {
  Impl& s = *impl_;
  if (s.started) {
    errno = EBUSY;
    return false;
  }
  // A blank command line leaves no program to run (and the process layer
  // cannot take one).
  if (!s.options.command_line_argv()[0]) {
    errno = EINVAL;
    return false;
  }
  Handle_Guard log{ACE_OS::open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                                static_cast<mode_t>(log_mode))};
  Handle_Guard in{ACE_OS::open(ACE_DEV_NULL, O_RDONLY | O_CLOEXEC)};
  if (log.handle == ACE_INVALID_HANDLE || in.handle == ACE_INVALID_HANDLE) return false;
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) return false;
  Handle_Guard out_read{pipe_ends[0]}, out_write{pipe_ends[1]};
  if (!above_standard(in.handle) || !above_standard(out_write.handle)) return false;
  if (::pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  const std::string mark = random_mark();
  s.mark_entry = std::string(1, '\0') + MARK_NAME + "=" + mark + std::string(1, '\0');
  std::string entry = std::string(MARK_NAME) + "=" + mark;
  const std::vector<char*> env = environment_with(entry);

  pid_t pid = 0;
  if (int error = spawn_child(s.options.command_line_argv(), env.data(), in.handle,
                              out_write.handle, pid)) {
    close_fd(s.wake[0]);
    close_fd(s.wake[1]);
    errno = error;
    return false;
  }
  s.started_at = Clock::now();
  s.started = true;
  s.pid = pid;
  Proc_Stat stat;
  if (read_stat(pid, stat)) s.leader_start = stat.start;
#ifdef SYS_pidfd_open
  s.pid_fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#endif
  ::fcntl(out_read.handle, F_SETFL, O_NONBLOCK);
  s.output = out_read.handle;
  out_read.handle = ACE_INVALID_HANDLE;
  s.log = log.handle;
  log.handle = ACE_INVALID_HANDLE;
  enlist();
  return true;
}

bool Process_Runner::wait(Process_Exit& out) {
  out = Process_Exit();
  Impl& s = *impl_;
  const pid_t leader = s.pid.load();
  if (leader <= 0) {
    errno = ECHILD;
    return false;
  }
  // Without pidfd the leader's end is looked for this often.
  const int tick_ms = s.pid_fd >= 0 ? 1000 : 50;
  const Clock::time_point timeout_at = s.started_at + s.limits.timeout;

  // While the leader runs.
  for (;;) {
    Clock::time_point now = Clock::now();
    int wait_ms = tick_ms;
    {
      std::lock_guard<std::mutex> g(s.lock);
      if (s.limits.timeout.count() > 0 && !s.term_sent) {
        if (now >= timeout_at) {
          s.timed_out = true;
          s.begin_end(now);
        } else {
          wait_ms = Impl::until(timeout_at, now, wait_ms);
        }
      }
      if (s.term_sent && !s.kill_sent) {
        if (now >= s.kill_at) {
          s.kill_sent = true;
          s.signal_tree(SIGKILL);
        } else {
          wait_ms = Impl::until(s.kill_at, now, wait_ms);
        }
      }
    }
    if (s.leader_ended()) break;
    s.wait_for_news(wait_ms);
  }

  // The leader has ended; what it left behind goes too, in the same steps.
  std::set<pid_t> asked;
  for (;;) {
    const Clock::time_point now = Clock::now();
    const std::vector<pid_t> left = s.members(leader);
    if (left.empty()) break;
    bool stuck = false;
    {
      std::lock_guard<std::mutex> g(s.lock);
      if (!s.term_sent) {
        s.term_sent = true;
        s.kill_at = now + s.limits.grace;
      }
      const bool killing = now >= s.kill_at;
      for (pid_t p : left) {
        if (killing) {
          ACE_OS::kill(p, SIGKILL);
        } else if (asked.insert(p).second) {
          ACE_OS::kill(p, SIGTERM);
          ACE_OS::kill(p, SIGCONT);
        }
      }
      stuck = killing && now >= s.kill_at + std::chrono::seconds(2);
    }
    if (stuck) {
      ACE_ERROR((LM_WARNING, "%N:%l: '%C' left %d processes that do not end\n",
                 s.command_line.c_str(), int(left.size())));
      break;
    }
    s.wait_for_news(20, false);
  }
  // The output still in the pipe; a writer that escaped the tree does not
  // hold the answer for long.
  const Clock::time_point drain_until = Clock::now() + std::chrono::milliseconds(500);
  while (s.output >= 0 && Clock::now() < drain_until)
    s.wait_for_news(Impl::until(drain_until, Clock::now(), 100), false);
  close_fd(s.output);

  int status = 0;
  pid_t reaped;
  while ((reaped = ::waitpid(leader, &status, 0)) < 0 && errno == EINTR) {
  }
  const bool waited = reaped == leader;
  delist();
  {
    std::lock_guard<std::mutex> g(s.lock);
    s.pid = 0;
    out.cancelled = s.cancelled;
    out.timed_out = s.timed_out;
  }
  close_fd(s.log);
  if (WIFSIGNALED(status)) out.signal = WTERMSIG(status);
  out.code = WIFEXITED(status) ? WEXITSTATUS(status) : out.signal ? 128 + out.signal : status;
  out.duration_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s.started_at).count();
  out.output_bytes = s.output_bytes;
  return waited;
}

void Process_Runner::terminate() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> g(s.lock);
  if (s.pid.load() <= 0) return;
  s.cancelled = true;
  s.begin_end(Clock::now());
  s.wake_waiter();
}

void Process_Runner::kill() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> g(s.lock);
  if (s.pid.load() <= 0) return;
  s.cancelled = true;
  s.term_sent = s.kill_sent = true;
  s.kill_at = Clock::now();
  s.signal_tree(SIGKILL);
  s.wake_waiter();
}

void Process_Runner::pause() {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->signal_tree(SIGSTOP);
}

void Process_Runner::resume() {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->signal_tree(SIGCONT);
}

}  // namespace platform
