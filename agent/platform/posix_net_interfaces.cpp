#include "agent/platform/net_interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <netpacket/packet.h>
#endif

#include <cstdio>
#include <cstring>

namespace platform {

namespace {

unsigned prefix_length(const unsigned char* mask, std::size_t size) {
  unsigned bits = 0;
  for (std::size_t i = 0; i < size; ++i)
    for (unsigned char b = mask[i]; b; b = static_cast<unsigned char>(b << 1))
      bits += (b & 0x80) != 0;
  return bits;
}

Net_Interface& entry(std::vector<Net_Interface>& list, const ifaddrs* a) {
  for (Net_Interface& i : list)
    if (i.name == a->ifa_name) return i;
  list.emplace_back();
  Net_Interface& i = list.back();
  i.name = a->ifa_name;
  i.up = (a->ifa_flags & IFF_UP) != 0;
  i.loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
  return i;
}

void add_address(Net_Interface& i, const ifaddrs* a) {
  char text[INET6_ADDRSTRLEN] = "";
  int family = a->ifa_addr->sa_family;
  if (family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    const auto* mask = reinterpret_cast<const sockaddr_in*>(a->ifa_netmask);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    i.addresses.push_back(Net_Address{
        false, text,
        mask ? prefix_length(reinterpret_cast<const unsigned char*>(&mask->sin_addr), 4)
             : 32});
  } else if (family == AF_INET6) {
    const auto* in = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
    const auto* mask = reinterpret_cast<const sockaddr_in6*>(a->ifa_netmask);
    inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
    i.addresses.push_back(Net_Address{
        true, text, mask ? prefix_length(mask->sin6_addr.s6_addr, 16) : 128});
#ifdef __linux__
  } else if (family == AF_PACKET) {
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
    // Loopback and tunnels report an all-zero or empty hardware address.
    bool any = false;
    for (int k = 0; k < ll->sll_halen; ++k) any |= ll->sll_addr[k] != 0;
    if (ll->sll_halen != 6 || !any) return;
    char mac[18];
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x",
                  ll->sll_addr[0], ll->sll_addr[1], ll->sll_addr[2],
                  ll->sll_addr[3], ll->sll_addr[4], ll->sll_addr[5]);
    i.mac = mac;
#endif
  }
}

}  // namespace

bool list_interfaces(std::vector<Net_Interface>& out) {
  ifaddrs* all = nullptr;
  if (::getifaddrs(&all) != 0) return false;
  for (const ifaddrs* a = all; a; a = a->ifa_next) {
    Net_Interface& i = entry(out, a);
    if (a->ifa_addr) add_address(i, a);
  }
  ::freeifaddrs(all);
  return true;
}

bool routed_source_address(const std::string& host, unsigned short port, std::string& out) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (host.empty() ||
      ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
    return false;
  bool ok = false;
  for (addrinfo* a = found; a && !ok; a = a->ai_next) {
    // Connecting a datagram socket only picks the route and source address.
    int fd = ::socket(a->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    sockaddr_storage self{};
    socklen_t length = sizeof self;
    char text[INET6_ADDRSTRLEN] = "";
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length) == 0 &&
        ::getnameinfo(reinterpret_cast<sockaddr*>(&self), length, text, sizeof text,
                      nullptr, 0, NI_NUMERICHOST) == 0) {
      out = text;
      ok = true;
    }
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return ok;
}

}  // namespace platform
