// Interface information with a preset answer.
#ifndef TESTS_FAKES_FAKE_INTERFACE_INFO_H
#define TESTS_FAKES_FAKE_INTERFACE_INFO_H

#include "agent/pkgutil/interface_info.h"

class Fake_Interface_Info : public Interface_Info_Service {
 public:
  bool interface_info(json_spirit::Array& list) override {
    ++calls;
    if (!succeed) return false;
    list = value;
    return true;
  }
  json_spirit::Array value;
  bool succeed = true;
  int calls = 0;
};

#endif
