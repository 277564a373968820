// The machine's network interfaces, and whether an address is loopback.
#ifndef PLATFORM_NET_INTERFACES_H
#define PLATFORM_NET_INTERFACES_H

#include <string>
#include <vector>

namespace platform {

struct Net_Address {
  bool ipv6;
  std::string address;  // numeric text
  unsigned prefix;      // length of the network prefix in bits
};

struct Net_Interface {
  std::string name;
  bool up = false;
  bool loopback = false;
  std::string mac;  // "aa:bb:cc:dd:ee:ff"; "" when the system has none
  std::vector<Net_Address> addresses;
};

// One entry per interface, in the system's order; false when the system
// cannot list them.
bool list_interfaces(std::vector<Net_Interface>& out);

// True for a numeric IPv4 address in 127.0.0.0/8, ::1, or an IPv4-mapped
// IPv6 form of the former; false for anything else, names included.
bool is_loopback_address(const std::string& text);

// The numeric source address this machine uses towards `host`:`port` (a
// numeric address or a name), found by routing alone: nothing is sent.
// False without a host or a route to it. The system's side of
// local_address.
bool routed_source_address(const std::string& host, unsigned short port, std::string& out);

// routed_source_address when it finds one; without a host, or when it cannot be routed to, the first address of an
// interface that is up and not loopback, IPv4 first. False when there is
// none.
bool local_address(const std::string& host, unsigned short port, std::string& out);

}  // namespace platform

#endif
