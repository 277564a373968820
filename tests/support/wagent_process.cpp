#include "tests/support/wagent_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "tests/fakes/temp_dir.h"
#include "tests/support/files.h"

extern char** environ;

namespace wire {

namespace {

using Clock = std::chrono::steady_clock;

const char output_file[] = "wagent.out";

// HOST and PORT of the listening line, once a whole one has arrived.
bool parse_listening(const std::string& text, std::string& host, unsigned short& port) {
  static const std::regex line("wagent: listening on http://([0-9.]+):([0-9]+)\n");
  std::smatch m;
  if (!std::regex_search(text, m, line)) return false;
  host = m[1];
  port = static_cast<unsigned short>(std::stoul(m[2]));
  return port != 0;
}

}  // namespace

Wagent_Process::Wagent_Process(std::string binary)
    // The child starts in dir(): a relative path must not depend on that.
    : binary_(std::filesystem::absolute(binary).string()),
      dir_(std::make_unique<Temp_Dir>()) {}

Wagent_Process::~Wagent_Process() { reap(std::chrono::milliseconds(0), "left running"); }

const std::string& Wagent_Process::dir() const { return dir_->path(); }

bool Wagent_Process::spawn(const std::string& config_text,
                           const std::vector<std::string>& extra_args) {
  if (pid_ > 0) return notes_ += "[wagent_process] already running\n", false;
  notes_.clear();
  host_.clear();
  port_ = 0;
  status_ = -1;
  const std::string config = dir_->write("wagent.conf", config_text);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir().c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_file, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // Whatever the test blocks or ignores, the child gets the ordinary
  // behaviour of the signals it is stopped with.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> args{binary_};
  if (config_flag_) args.insert(args.end(), {"-f", config});
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int error = ::posix_spawn(&pid_, binary_.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (error == 0) return true;
  pid_ = -1;
  notes_ += "[wagent_process] cannot start " + binary_ + ": " + std::strerror(error) + "\n";
  return false;
}

bool Wagent_Process::start(const std::string& config_text,
                           const std::vector<std::string>& extra_args) {
  if (!spawn(config_text, extra_args)) return false;
  for (auto deadline = Clock::now() + std::chrono::seconds(30); Clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    if (parse_listening(stderr_text(), host_, port_)) return true;
    if (!running()) return false;
  }
  reap(std::chrono::milliseconds(0), "no listening line within 30 s");
  return false;
}

int Wagent_Process::run_to_exit(const std::string& config_text,
                                       const std::vector<std::string>& extra_args) {
  if (spawn(config_text, extra_args)) reap(std::chrono::seconds(10), "still running after 10 s");
  return status_;
}

bool Wagent_Process::running() {
  if (pid_ <= 0) return false;
  int st = 0;
  pid_t got = ::waitpid(pid_, &st, WNOHANG);
  if (got == 0) return true;
  status_ = got != pid_ ? -1
            : WIFEXITED(st) ? WEXITSTATUS(st)
            : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
  pid_ = -1;
  return false;
}

bool Wagent_Process::send_signal(int sig) { return pid_ > 0 && ::kill(pid_, sig) == 0; }

void Wagent_Process::reap(std::chrono::milliseconds timeout, const std::string& what) {
  for (auto deadline = Clock::now() + timeout; running() && Clock::now() < deadline;)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  status_ = -1;
  notes_ += "[wagent_process] " + what + "; killed\n";
}

int Wagent_Process::stop(int sig, std::chrono::milliseconds timeout) {
  if (send_signal(sig)) reap(timeout, "did not end in time after signal " + std::to_string(sig));
  return status_;
}

std::string Wagent_Process::stderr_text() const {
  return read_file(*dir_ / output_file) + notes_;
}

bool Wagent_Process::wait_for_stderr(const std::string& needle,
                                     std::chrono::milliseconds timeout) {
  for (auto deadline = Clock::now() + timeout;;
       std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    bool last_look = !running() || Clock::now() >= deadline;
    if (stderr_text().find(needle) != std::string::npos) return true;
    if (last_look) return false;
  }
}

}  // namespace wire
