// Description of the machine the agent runs on.
#ifndef PKGUTIL_HOST_INFO_H
#define PKGUTIL_HOST_INFO_H

#include <mutex>

#include "agent/json_spirit/json_spirit.h"
#include "agent/platform/service_instance.h"

// Fills `info` with an object describing the machine ("nodename" among its
// members); false when the machine cannot be described.
bool host_info(json_spirit::Value& info);

// Reached through instance(); the process's own reads the running system.
class Host_Info_Service : public Service_Instance_T<Host_Info_Service> {
 public:
  virtual ~Host_Info_Service();
  virtual bool host_info(json_spirit::Value& info) = 0;
};

extern template class Service_Instance_T<Host_Info_Service>;

// The running system: names, OS, processors and memory are read once, on
// the first call; only the uptime is read on every call (host.info is
// asked often).
class System_Host_Info_Service : public Host_Info_Service {
 public:
  bool host_info(json_spirit::Value& info) override;

 private:
  std::mutex lock_;
  bool described_ = false;
  json_spirit::Object fixed_;
};

#endif
