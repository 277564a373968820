#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "agent/platform/service_notify.h"

namespace platform {

bool notify_service_manager(const std::string& address, const std::string& state) {
  sockaddr_un to{};
  if (address.empty() || (address[0] != '/' && address[0] != '@') ||
      address.size() >= sizeof to.sun_path)
    return false;
  to.sun_family = AF_UNIX;
  std::memcpy(to.sun_path, address.data(), address.size());
  if (address[0] == '@') to.sun_path[0] = '\0';
  const socklen_t length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&to), length) ==
                    static_cast<ssize_t>(state.size());
  ::close(fd);
  return sent;
}

// systemd runs the program as it is; it learns the state through
// notify_service_manager and the end through the exit code.
int run_as_service(const std::string&, const std::function<int()>& body) { return body(); }

}  // namespace platform
