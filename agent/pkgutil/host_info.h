// Description of the machine the agent runs on.
#ifndef PKGUTIL_HOST_INFO_H
#define PKGUTIL_HOST_INFO_H

#include "agent/json_spirit/json_spirit.h"

// Fills `info` with an object describing the machine ("nodename" among its
// members); false when the machine cannot be described.
bool host_info(json_spirit::Value& info);

class Host_Info_Service {
 public:
  static Host_Info_Service* instance();
  // Installs `replacement` (null restores the system's) and returns the
  // previous service. Not owned.
  static Host_Info_Service* instance(Host_Info_Service* replacement);

  virtual ~Host_Info_Service();
  virtual bool host_info(json_spirit::Value& info) = 0;
};

// Reads the running system: uname, the OS release file, processors, memory.
class System_Host_Info_Service : public Host_Info_Service {
 public:
  bool host_info(json_spirit::Value& info) override;
};

#endif
