// Host information and the interface list, each with a preset answer (or a
// failure) and a count of the calls that asked for it.
#ifndef TESTS_FAKES_FAKE_HOST_INFO_H
#define TESTS_FAKES_FAKE_HOST_INFO_H

#include "agent/pkgutil/host_info.h"
#include "agent/pkgutil/interface_info.h"

template <class Service, class Answer>
class Fake_Answer : public Service {
 public:
  Answer value;
  bool succeed = true;
  int calls = 0;

 protected:
  bool answer(Answer& out) {
    ++calls;
    if (succeed) out = value;
    return succeed;
  }
};

class Fake_Host_Info : public Fake_Answer<Host_Info_Service, json_spirit::Value> {
  bool host_info(json_spirit::Value& info) override { return answer(info); }
};

class Fake_Interface_Info : public Fake_Answer<Interface_Info_Service, json_spirit::Array> {
  bool interface_info(json_spirit::Array& list) override { return answer(list); }
};

#endif
