// What the agent asks of addresses on every system; the routing itself is
// the system's side (posix_net_interfaces.cpp, win32_net_interfaces.cpp).
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstring>
#include <string>
#include <vector>

#include "agent/platform/net_interfaces.h"

namespace platform {

bool is_loopback_address(const std::string& text) {
  in_addr v4;
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6;
  if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
  static const unsigned char loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (std::memcmp(v6.s6_addr, loopback6, 16) == 0) return true;
  static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::memcmp(v6.s6_addr, mapped, 12) == 0 && v6.s6_addr[12] == 127;
}

bool local_address(const std::string& host, unsigned short port, std::string& out) {
  if (routed_source_address(host, port, out)) return true;
  std::vector<Net_Interface> list;
  if (!list_interfaces(list)) return false;
  for (bool ipv6 : {false, true})
    for (const Net_Interface& i : list)
      if (i.up && !i.loopback)
        for (const Net_Address& a : i.addresses)
          if (a.ipv6 == ipv6 && !is_loopback_address(a.address)) {
            out = a.address;
            return true;
          }
  return false;
}

}  // namespace platform
