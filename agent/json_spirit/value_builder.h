// Builds a json_spirit::Value from parser events.
#ifndef JSON_SPIRIT_VALUE_BUILDER_H
#define JSON_SPIRIT_VALUE_BUILDER_H

#include <string>
#include <vector>

#include "agent/json_spirit/json_spirit.h"
#include "agent/json_io/yajl_handler.h"

namespace json_spirit {

// Heap bytes the values read from one text may take. Charges estimate what
// the allocator hands out; once their sum passes the limit every further
// charge fails, so building stops instead of growing without bound.
class Memory_Budget {
 public:
  explicit Memory_Budget(std::size_t limit) : limit_(limit) {}

  bool charge(std::size_t bytes) {
    used_ += bytes;
    return used_ <= limit_;
  }
  bool exceeded() const { return used_ > limit_; }
  std::size_t used() const { return used_; }
  std::size_t limit() const { return limit_; }

  // A heap block of `bytes` as glibc's malloc carves it.
  static std::size_t block(std::size_t bytes) {
    return bytes ? ((bytes + 8 + 15) & ~std::size_t(15)) : 0;
  }
  // The heap part of a std::string of `length` (short ones live inline).
  static std::size_t string(std::size_t length) {
    return length < 16 ? 0 : block(length + 1);
  }
  // One member of an Object beyond its value: the tree node and the key.
  static std::size_t member(std::size_t key_length) {
    return block(sizeof(Object::value_type) + 32) - sizeof(Value) +
           string(key_length);
  }

 private:
  std::size_t limit_;
  std::size_t used_ = 0;
};

// Refuses (returns 0 from the event) numbers beyond double range and
// nesting deeper than MAX_DEPTH: YAJL writes at most 127 levels, a reply
// wraps a value in a few more, and unbounded nesting would exhaust the
// stack when the value is freed. With a budget, also refuses the first
// value that would take the built tree past it.
class Value_Builder : public YAJL_Handler {
 public:
  static const std::size_t MAX_DEPTH = 100;

  explicit Value_Builder(Memory_Budget* budget = nullptr) : budget_(budget) {}

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
  // Puts `v` where the next value goes; null when the budget is spent.
  Value* place(Value&& v, std::size_t heap);
  int add(Value&& v, std::size_t heap = 0);
  // Adds an empty container where the next value goes and enters it.
  int open(Value&& empty);

  Value root_;
  // Open containers, innermost last; `keys` holds the pending key per map.
  std::vector<Value*> stack_;
  std::vector<std::string> keys_;
  bool done_ = false;
  Memory_Budget* budget_;
};

// Text of a JSON number as the narrowest Value that holds it exactly.
Value number_from_text(const char* text, std::size_t length);

}  // namespace json_spirit

#endif
