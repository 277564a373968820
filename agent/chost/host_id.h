// The agent's identifier as reports carry it: the UUID Host_Manager keeps.
#ifndef CHOST_HOST_ID_H
#define CHOST_HOST_ID_H

#include "agent/platform/service_instance.h"

class Host_ID : public Service_Instance_T<Host_ID> {
 public:
  virtual ~Host_ID();
  // The UUID text of Host_Manager::instance(), read on every call (a test
  // may install another manager); the text stays valid on the calling
  // thread until its next call.
  virtual const char* c_str() const;
};

extern template class Service_Instance_T<Host_ID>;

#endif
