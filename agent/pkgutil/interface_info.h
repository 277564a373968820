// The machine's network interfaces as JSON, for the management side.
#ifndef PKGUTIL_INTERFACE_INFO_H
#define PKGUTIL_INTERFACE_INFO_H

#include <string>

#include "agent/json_spirit/json_spirit.h"
#include "agent/platform/service_instance.h"

// Appends one object per interface to `list`: "name", "up", "loopback",
// "mac" (where the interface has one) and "addresses", an array of
// {"family": "ipv4" | "ipv6", "address", "prefix"}. False when the system
// cannot list its interfaces.
bool interface_info(json_spirit::Array& list);

// Reached through instance(); the process's own asks the system each time
// (addresses come and go).
class Interface_Info_Service : public Service_Instance_T<Interface_Info_Service> {
 public:
  virtual ~Interface_Info_Service();
  virtual bool interface_info(json_spirit::Array& list) = 0;
};

extern template class Service_Instance_T<Interface_Info_Service>;

class System_Interface_Info_Service : public Interface_Info_Service {
 public:
  bool interface_info(json_spirit::Array& list) override;
};

// The node's own address as the management side sees it: the source address
// towards the upstream server, or the first address of an outward interface
// when there is no upstream (see platform::local_address).
class Network_Interface_Enumerator {
 public:
  // False, and `out` unchanged, when the machine has no usable address.
  bool get_local_addr(std::string& out) const;

  // The upstream server the address is taken towards; an empty host for
  // none. Set where the upstream is configured.
  static void set_peer(const std::string& host, unsigned short port);
};

#endif
