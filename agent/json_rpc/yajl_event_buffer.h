// Records parser events to replay them later into another handler: params
// that arrive before their method cannot be routed until the method is known.
#ifndef JSON_RPC_YAJL_EVENT_BUFFER_H
#define JSON_RPC_YAJL_EVENT_BUFFER_H

#include <string>
#include <vector>

#include "agent/mdrt/yajl_handler.h"

class YAJL_Event_Buffer : public YAJL_Handler {
 public:
  int handle_null_i() override { return add(NULL_EVENT); }
  int handle_boolean_i(bool v) override { return add(v ? TRUE_EVENT : FALSE_EVENT); }
  int handle_number_i(const char* t, unsigned long long l) override {
    return add(NUMBER, t, l);
  }
  int handle_string_i(const char* t, unsigned long long l) override {
    return add(STRING, t, l);
  }
  int handle_start_map_i() override { return add(START_MAP); }
  int handle_map_key_i(const char* t, unsigned long long l) override {
    return add(MAP_KEY, t, l);
  }
  int handle_end_map_i() override { return add(END_MAP); }
  int handle_start_array_i() override { return add(START_ARRAY); }
  int handle_end_array_i() override { return add(END_ARRAY); }

  bool empty() const { return events_.empty(); }

  // Feeds the recorded events to `target`; stops at the first that returns 0.
  int replay(YAJL_Handler& target) const;

 private:
  enum Kind {
    NULL_EVENT, TRUE_EVENT, FALSE_EVENT, NUMBER, STRING,
    START_MAP, MAP_KEY, END_MAP, START_ARRAY, END_ARRAY
  };
  struct Event {
    Kind kind;
    std::string text;
  };
  int add(Kind kind, const char* t = nullptr, unsigned long long l = 0) {
    events_.push_back(Event{kind, t ? std::string(t, l) : std::string()});
    return 1;
  }

  std::vector<Event> events_;
};

#endif
