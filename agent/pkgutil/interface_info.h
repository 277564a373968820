// The machine's network interfaces as JSON, for the management side.
#ifndef PKGUTIL_INTERFACE_INFO_H
#define PKGUTIL_INTERFACE_INFO_H

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

#endif
