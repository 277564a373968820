#include "tests/support/wagent_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "tests/fakes/temp_dir.h"

extern char** environ;

namespace wire {

namespace {

using Clock = std::chrono::steady_clock;

const char listening_mark[] = "wagent: listening on http://";

int decode(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

// HOST and PORT of the listening line, once a whole one has arrived.
bool parse_listening(const std::string& text, std::string& host,
                     unsigned short& port) {
  std::size_t at = text.find(listening_mark);
  if (at == std::string::npos) return false;
  std::size_t begin = at + sizeof listening_mark - 1;
  std::size_t end = text.find('\n', begin);
  if (end == std::string::npos) return false;
  std::string address = text.substr(begin, end - begin);
  while (!address.empty() && (address.back() == '\r' || address.back() == '/'))
    address.pop_back();
  std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) return false;
  char* rest = nullptr;
  unsigned long number = std::strtoul(address.c_str() + colon + 1, &rest, 10);
  if (*rest != '\0' || number == 0 || number > 65535) return false;
  host = address.substr(0, colon);
  port = static_cast<unsigned short>(number);
  return true;
}

}  // namespace

Wagent_Process::Wagent_Process(std::string binary)
    : binary_(std::move(binary)), dir_(std::make_unique<Temp_Dir>()) {}

Wagent_Process::~Wagent_Process() {
  if (pid_ > 0) kill_and_reap();
  finish_reading();
}

const std::string& Wagent_Process::dir() const { return dir_->path(); }

std::string Wagent_Process::config_path() const {
  return *dir_ / "wagent.conf";
}

void Wagent_Process::note(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  stderr_ += "[wagent_process] " + line + "\n";
}

void Wagent_Process::read_loop(int fd) {
  char buffer[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      // Only once the child is gone and the pipe is drained: a grandchild
      // holding the pipe open must not keep us here.
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_reading_) break;
      continue;
    }
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    stderr_.append(buffer, static_cast<std::size_t>(n));
    changed_.notify_all();
  }
  ::close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  eof_ = true;
  changed_.notify_all();
}

bool Wagent_Process::spawn(const std::string& config_text,
                           const std::vector<std::string>& extra_args) {
  if (pid_ > 0) {
    note("already running");
    return false;
  }
  finish_reading();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stderr_.clear();
    eof_ = false;
    stop_reading_ = false;
  }
  host_.clear();
  port_ = 0;
  status_ = -1;
  if (dir_->path().empty()) {
    note("no temporary directory");
    return false;
  }
  dir_->write("wagent.conf", config_text);

  // The child starts in the temporary directory: make a relative binary
  // path absolute first.
  std::string binary = binary_;
  if (!binary.empty() && binary[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd)) binary = std::string(cwd) + "/" + binary;
  }
  if (::access(binary.c_str(), X_OK) != 0) {
    note("cannot run " + binary + ": " + std::strerror(errno));
    return false;
  }

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    note(std::string("pipe: ") + std::strerror(errno));
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // stdout goes to the same pipe: a child left behind by a crashed test
  // must not hold the test runner's output open.
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addchdir_np(&actions, dir_->path().c_str());

  // Whatever the test process blocks or ignores, the child gets the
  // ordinary behaviour of the signals it is stopped with.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD})
    sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::string config = config_path();
  std::string flag = "-f";
  std::vector<char*> argv{binary.data(), flag.data(), config.data()};
  std::vector<std::string> args = extra_args;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int error = ::posix_spawn(&pid, binary.c_str(), &actions, &attr,
                            argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(fds[1]);
  if (error != 0) {
    ::close(fds[0]);
    note("cannot start " + binary + ": " + std::strerror(error));
    return false;
  }
  pid_ = pid;
  reader_ = std::thread([this, fd = fds[0]] { read_loop(fd); });
  return true;
}

bool Wagent_Process::start(const std::string& config_text,
                           const std::vector<std::string>& extra_args,
                           std::chrono::milliseconds timeout) {
  if (!spawn(config_text, extra_args)) return false;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (parse_listening(stderr_, host_, port_)) return true;
      changed_.wait_for(lock, std::chrono::milliseconds(50));
      if (parse_listening(stderr_, host_, port_)) return true;
    }
    if (!running()) {
      finish_reading();
      std::lock_guard<std::mutex> lock(mutex_);
      // The line may have come just before the end.
      parse_listening(stderr_, host_, port_);
      return false;
    }
    if (Clock::now() >= deadline) {
      kill_and_reap();
      finish_reading();
      note("no listening line within " + std::to_string(timeout.count()) +
           " ms; killed");
      return false;
    }
  }
}

Run_Result Wagent_Process::run_to_exit(
    const std::string& config_text, const std::vector<std::string>& extra_args,
    std::chrono::milliseconds timeout) {
  Run_Result result;
  if (spawn(config_text, extra_args)) {
    if (!reap(Clock::now() + timeout)) {
      kill_and_reap();
      note("still running after " + std::to_string(timeout.count()) +
           " ms; killed");
    } else {
      result.status = status_;
    }
    finish_reading();
  }
  result.stderr_text = stderr_text();
  return result;
}

bool Wagent_Process::running() {
  if (pid_ <= 0) return false;
  int st = 0;
  pid_t got = ::waitpid(pid_, &st, WNOHANG);
  if (got == 0) return true;
  status_ = got == pid_ ? decode(st) : -1;
  pid_ = -1;
  return false;
}

bool Wagent_Process::send_signal(int sig) {
  return pid_ > 0 && ::kill(pid_, sig) == 0;
}

bool Wagent_Process::reap(Clock::time_point deadline) {
  while (running()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void Wagent_Process::kill_and_reap() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int st = 0;
  while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  status_ = -1;
}

int Wagent_Process::stop(int sig, std::chrono::milliseconds timeout) {
  if (pid_ > 0) {
    ::kill(pid_, sig);
    if (!reap(Clock::now() + timeout)) {
      kill_and_reap();
      note("did not end within " + std::to_string(timeout.count()) +
           " ms of signal " + std::to_string(sig) + "; killed");
    }
  }
  finish_reading();
  return status_;
}

void Wagent_Process::finish_reading() {
  if (!reader_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_reading_ = true;
  }
  reader_.join();
}

std::string Wagent_Process::stderr_text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stderr_;
}

bool Wagent_Process::wait_for_stderr(const std::string& needle,
                                     std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return stderr_.find(needle) != std::string::npos || eof_;
  }) && stderr_.find(needle) != std::string::npos;
}

}  // namespace wire
