// Builds a json_spirit::Value from parser events.
#ifndef JSON_SPIRIT_VALUE_BUILDER_H
#define JSON_SPIRIT_VALUE_BUILDER_H

#include <string>
#include <vector>

#include "agent/json_spirit/json_spirit.h"
#include "agent/mdrt/yajl_handler.h"

namespace json_spirit {

// Refuses (returns 0 from the event) numbers beyond double range and
// nesting deeper than MAX_DEPTH: YAJL writes at most 127 levels, a reply
// wraps a value in a few more, and unbounded nesting would exhaust the
// stack when the value is freed.
class Value_Builder : public YAJL_Handler {
 public:
  static const std::size_t MAX_DEPTH = 100;

  int handle_null_i() override;
  int handle_boolean_i(bool value) override;
  int handle_number_i(const char* text, unsigned long long length) override;
  int handle_string_i(const char* text, unsigned long long length) override;
  int handle_start_map_i() override;
  int handle_map_key_i(const char* text, unsigned long long length) override;
  int handle_end_map_i() override;
  int handle_start_array_i() override;
  int handle_end_array_i() override;

  // True once one complete value has been built.
  bool done() const { return done_; }
  Value& value() { return root_; }

 private:
  int add(Value&& v);
  // Adds an empty container where the next value goes and enters it.
  int open(Value&& empty);

  Value root_;
  // Open containers, innermost last; `keys` holds the pending key per map.
  std::vector<Value*> stack_;
  std::vector<std::string> keys_;
  bool done_ = false;
};

// Text of a JSON number as the narrowest Value that holds it exactly.
Value number_from_text(const char* text, std::size_t length);

}  // namespace json_spirit

#endif
