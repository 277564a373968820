#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "agent/platform/stop_request.h"

namespace platform {

namespace {

// The handler only writes the signal's number into a pipe: all else a
// handler may do is too little to stop a program.
int stop_pipe[2] = {-1, -1};

void forward_signal(int signal) {
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  while (::write(stop_pipe[1], &number, 1) < 0 && errno == EINTR) {
  }
  errno = saved;
}

}  // namespace

bool on_stop_request(std::function<void(int)> on_stop) {
  if (stop_pipe[0] >= 0 || ::pipe2(stop_pipe, O_CLOEXEC) != 0) return false;
  std::thread([on_stop = std::move(on_stop)] {
    unsigned char number = 0;
    ssize_t n;
    while ((n = ::read(stop_pipe[0], &number, 1)) < 0 && errno == EINTR) {
    }
    if (n != 1) return;
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGTERM, SIG_IGN);
    on_stop(number);
  }).detach();
  struct sigaction action {};
  action.sa_handler = forward_signal;
  sigfillset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return ::sigaction(SIGINT, &action, nullptr) == 0 &&
         ::sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace platform
