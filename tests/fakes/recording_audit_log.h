// An audit log that keeps the events in memory instead of a file.
#ifndef TESTS_FAKES_RECORDING_AUDIT_LOG_H
#define TESTS_FAKES_RECORDING_AUDIT_LOG_H

#include <vector>

#include "agent/eventutil/event_trigger.h"

class Recording_Audit_Log : public Audit_Log {
 public:
  bool append(const json_spirit::Value& event) override {
    events.push_back(event);
    return true;
  }
  std::vector<json_spirit::Value> events;
};

#endif
