// An audit log that keeps the events in memory instead of a file, without
// their "time", which no test can know.
#ifndef TESTS_FAKES_RECORDING_AUDIT_LOG_H
#define TESTS_FAKES_RECORDING_AUDIT_LOG_H

#include <vector>

#include "agent/eventutil/event_trigger.h"

class Recording_Audit_Log : public Audit_Log {
 public:
  bool append(const json_spirit::Value& event) override {
    json_spirit::Object e = event.get_obj();
    e.erase("time");
    events.push_back(e);
    return true;
  }
  std::vector<json_spirit::Value> events;
};

#endif
