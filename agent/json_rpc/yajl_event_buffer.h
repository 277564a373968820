// Records parser events to replay them later into another handler: params
// that arrive before their method cannot be routed until the method is known.
#ifndef JSON_RPC_YAJL_EVENT_BUFFER_H
#define JSON_RPC_YAJL_EVENT_BUFFER_H

#include <string>

#include "agent/json_spirit/value_builder.h"
#include "agent/json_io/yajl_handler.h"

// Events are packed into one byte string (a kind byte, then for texts a
// length and the bytes), so the record stays about the size of the JSON
// text it came from. With a budget, growth of the record is charged to it
// and the first event past it is refused.
class YAJL_Event_Buffer : public YAJL_Handler {
 public:
  explicit YAJL_Event_Buffer(json_spirit::Memory_Budget* budget = nullptr)
      : budget_(budget) {}

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
  // Forgets the record and gives its memory back.
  void clear() { std::string().swap(events_); }

  // Feeds the recorded events to `target`; stops at the first that returns 0.
  int replay(YAJL_Handler& target) const;

 private:
  enum Kind : char {
    NULL_EVENT, TRUE_EVENT, FALSE_EVENT, NUMBER, STRING,
    START_MAP, MAP_KEY, END_MAP, START_ARRAY, END_ARRAY
  };
  int add(Kind kind, const char* t = nullptr, unsigned long long l = 0);

  std::string events_;
  json_spirit::Memory_Budget* budget_;
};

#endif
