// Host information with a preset answer.
#ifndef TESTS_FAKES_FAKE_HOST_INFO_H
#define TESTS_FAKES_FAKE_HOST_INFO_H

#include "agent/pkgutil/host_info.h"

class Fake_Host_Info : public Host_Info_Service {
 public:
  bool host_info(json_spirit::Value& info) override {
    ++calls;
    if (!succeed) return false;
    info = value;
    return true;
  }
  json_spirit::Value value;
  bool succeed = true;
  int calls = 0;
};

#endif
