// The machine's network interfaces on Windows, through GetAdaptersAddresses,
// in the form the POSIX side gives them.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "agent/platform/net_interfaces.h"
#include "agent/platform/utf.h"

// Windows 7 SP1 on; older MinGW headers lack the name.
#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

#ifdef _MSC_VER
#pragma comment(lib, "iphlpapi.lib")
#pragma comment(lib, "ws2_32.lib")
#endif

namespace platform {

namespace {

// Winsock for the length of a call: every user of sockets here starts it,
// and WSAStartup counts, so the process's own use is left alone.
struct Winsock {
  bool ok;
  Winsock() {
    WSADATA data;
    ok = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (ok) ::WSACleanup();
  }
};

std::string numeric_text(const sockaddr* a) {
  char text[INET6_ADDRSTRLEN] = "";
  // inet_ntop rather than getnameinfo: no "%scope" on link-local addresses,
  // as on the POSIX side.
  if (a->sa_family == AF_INET)
    ::inet_ntop(AF_INET, const_cast<in_addr*>(&reinterpret_cast<const sockaddr_in*>(a)->sin_addr),
                text, sizeof text);
  else if (a->sa_family == AF_INET6)
    ::inet_ntop(AF_INET6,
                const_cast<in6_addr*>(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr),
                text, sizeof text);
  return text;
}

std::string mac_text(const IP_ADAPTER_ADDRESSES& a) {
  // Loopback and tunnels have no six-byte hardware address, or all zeros.
  bool any = false;
  for (ULONG k = 0; k < a.PhysicalAddressLength; ++k) any |= a.PhysicalAddress[k] != 0;
  if (a.PhysicalAddressLength != 6 || !any) return std::string();
  char mac[18];
  const BYTE* m = a.PhysicalAddress;
  std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3],
                m[4], m[5]);
  return mac;
}

}  // namespace

bool list_interfaces(std::vector<Net_Interface>& out) {
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  // The size the system asks for can grow between calls: an interface may
  // come meanwhile.
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    rc = ::GetAdaptersAddresses(AF_UNSPEC, flags, NULL,
                                reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (rc == ERROR_NO_DATA) return true;
  if (rc != NO_ERROR) return false;
  for (const IP_ADAPTER_ADDRESSES* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
       a; a = a->Next) {
    Net_Interface i;
    // The name people see and netsh takes ("Ethernet"); the adapter's
    // own name is a GUID.
    i.name = a->FriendlyName && *a->FriendlyName ? utf16_to_utf8(a->FriendlyName)
                                                 : std::string(a->AdapterName);
    i.up = a->OperStatus == IfOperStatusUp;
    i.loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
    i.mac = mac_text(*a);
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next) {
      const sockaddr* address = u->Address.lpSockaddr;
      if (!address || (address->sa_family != AF_INET && address->sa_family != AF_INET6))
        continue;
      const bool ipv6 = address->sa_family == AF_INET6;
      i.addresses.push_back(Net_Address{ipv6, numeric_text(address),
                                        u->OnLinkPrefixLength <= (ipv6 ? 128u : 32u)
                                            ? unsigned{u->OnLinkPrefixLength}
                                            : (ipv6 ? 128u : 32u)});
    }
    out.push_back(std::move(i));
  }
  return true;
}

bool routed_source_address(const std::string& host, unsigned short port, std::string& out) {
  if (host.empty()) return false;
  Winsock winsock;
  if (!winsock.ok) return false;
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
    return false;
  bool ok = false;
  for (addrinfo* a = found; a && !ok; a = a->ai_next) {
    // Connecting a datagram socket only picks the route and source address.
    // Not inheritable: no child started meanwhile keeps it.
    SOCKET s = ::WSASocketW(a->ai_family, SOCK_DGRAM, IPPROTO_UDP, NULL, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) continue;
    sockaddr_storage self{};
    int length = sizeof self;
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) == 0) {
      out = numeric_text(reinterpret_cast<const sockaddr*>(&self));
      ok = !out.empty();
    }
    ::closesocket(s);
  }
  ::freeaddrinfo(found);
  return ok;
}

}  // namespace platform
