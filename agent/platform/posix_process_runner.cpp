// Process_Runner over ACE's process layer, which splits the command line
// and closes every inherited descriptor but the standard three in the child.
#include "agent/platform/process_runner.h"

#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_signal.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Process.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>

namespace platform {

namespace {

// The host holds its stop signals blocked for one thread to take; a child
// starts with none blocked, or it could not be stopped.
class Child_Process : public ACE_Process {
  void child(pid_t) override {
    sigset_t none;
    sigemptyset(&none);
    ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
  }
};

}  // namespace

struct Process_Runner::Impl {
  ACE_Process_Options options;
  std::string command_line;
  Child_Process process;
  bool started = false;
  // The running process; 0 before the start and once waited for, so a late
  // signal never reaches a process that reused the id.
  std::atomic<pid_t> pid{0};

  void signal(int number) {
    const pid_t p = pid.load();
    if (p > 0) ACE_OS::kill(p, number);
  }
};

namespace {

struct Handle_Guard {
  ACE_HANDLE handle;
  ~Handle_Guard() {
    if (handle != ACE_INVALID_HANDLE) ACE_OS::close(handle);
  }
};

}  // namespace

Process_Runner::Process_Runner(const std::string& command_line) : impl_(new Impl) {
  impl_->options.command_line("%s", command_line.c_str());
  impl_->options.handle_inheritance(0);
  impl_->command_line = impl_->options.command_line_buf();
}

Process_Runner::~Process_Runner() {}

const std::string& Process_Runner::command_line() const { return impl_->command_line; }

bool Process_Runner::start(const std::string& log_path, int log_mode) {
  if (impl_->started) {
    errno = EBUSY;
    return false;
  }
  // A blank command line leaves no program to run (and the process layer
  // cannot take one).
  if (!impl_->options.command_line_argv()[0]) {
    errno = EINVAL;
    return false;
  }
  Handle_Guard out{ACE_OS::open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                                static_cast<mode_t>(log_mode))};
  Handle_Guard in{ACE_OS::open(ACE_DEV_NULL, O_RDONLY | O_CLOEXEC)};
  if (out.handle == ACE_INVALID_HANDLE || in.handle == ACE_INVALID_HANDLE) return false;
  pid_t pid = ACE_INVALID_PID;
  if (impl_->options.set_handles(in.handle, out.handle, out.handle) == 0)
    pid = impl_->process.spawn(impl_->options);
  const int error = errno;
  impl_->options.release_handles();
  if (pid == ACE_INVALID_PID) {
    errno = error;
    return false;
  }
  impl_->started = true;
  impl_->pid = pid;
  return true;
}

bool Process_Runner::wait(Process_Exit& out) {
  out = Process_Exit();
  if (impl_->pid.load() <= 0) {
    errno = ECHILD;
    return false;
  }
  ACE_exitcode status = 0;
  const bool waited = impl_->process.wait(&status) != ACE_INVALID_PID;
  impl_->pid = 0;
  if (WIFSIGNALED(status)) out.signal = WTERMSIG(status);
  out.code = WIFEXITED(status) ? WEXITSTATUS(status) : out.signal ? 128 + out.signal : status;
  return waited;
}

void Process_Runner::terminate() {
  impl_->signal(SIGTERM);
  impl_->signal(SIGCONT);  // a paused process must see it
}

void Process_Runner::pause() { impl_->signal(SIGSTOP); }

void Process_Runner::resume() { impl_->signal(SIGCONT); }

}  // namespace platform
