#include <yajl/yajl_gen.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "agent/json_spirit/json_spirit.h"
#include "agent/json_spirit/value_builder.h"
#include "agent/mdrt/yajl_gen.h"
#include "agent/mdrt/yajl_handler.h"

namespace json_spirit {

Value number_from_text(const char* text, std::size_t length) {
  std::string s(text, length);
  if (s.find_first_of(".eE") == std::string::npos) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno == 0 && *end == '\0') return Value(v);
    if (s[0] != '-') {
      errno = 0;
      unsigned long long u = std::strtoull(s.c_str(), &end, 10);
      if (errno == 0 && *end == '\0') return Value(u);
    }
  }
  return Value(std::strtod(s.c_str(), nullptr));
}

Value* Value_Builder::place(Value&& v, std::size_t heap) {
  Value* top = stack_.empty() ? nullptr : stack_.back();
  if (top && top->type() == obj_type) {
    heap += sizeof(Value) + Memory_Budget::member(keys_.back().size());
  } else if (top) {
    const Array& a = top->get_array();
    if (a.size() == a.capacity())  // the push moves to a block twice as large
      heap += std::max<std::size_t>(a.capacity(), 1) * sizeof(Value);
  }
  if (budget_ && !budget_->charge(heap)) return nullptr;
  if (!top) {
    root_ = std::move(v);
    return &root_;
  }
  if (top->type() == obj_type)
    return &(top->get_obj()[keys_.back()] = std::move(v));
  top->get_array().push_back(std::move(v));
  return &top->get_array().back();
}

int Value_Builder::add(Value&& v, std::size_t heap) {
  if (!place(std::move(v), heap)) return 0;
  if (stack_.empty()) done_ = true;
  return 1;
}

int Value_Builder::handle_null_i() { return add(Value()); }
int Value_Builder::handle_boolean_i(bool b) { return add(Value(b)); }
int Value_Builder::handle_number_i(const char* t, unsigned long long l) {
  Value v = number_from_text(t, static_cast<std::size_t>(l));
  // 1e999 parses, but no JSON text could ever carry it back out.
  if (v.type() == real_type && !std::isfinite(v.get_real())) return 0;
  return add(std::move(v));
}
int Value_Builder::handle_string_i(const char* t, unsigned long long l) {
  const std::size_t n = static_cast<std::size_t>(l);
  return add(Value(std::string(t, n)), Memory_Budget::string(n));
}

int Value_Builder::open(Value&& empty) {
  if (stack_.size() >= MAX_DEPTH) return 0;
  Value* slot = place(std::move(empty), 0);
  if (!slot) return 0;
  stack_.push_back(slot);
  keys_.emplace_back();
  return 1;
}

int Value_Builder::handle_start_map_i() { return open(Object()); }

int Value_Builder::handle_map_key_i(const char* t, unsigned long long l) {
  keys_.back().assign(t, static_cast<std::size_t>(l));
  return 1;
}

int Value_Builder::handle_end_map_i() {
  stack_.pop_back();
  keys_.pop_back();
  if (stack_.empty()) done_ = true;
  return 1;
}

int Value_Builder::handle_start_array_i() { return open(Array()); }

int Value_Builder::handle_end_array_i() { return handle_end_map_i(); }

bool read(const char* text, std::size_t length, Value& out,
          std::string* error) {
  Value_Builder builder;
  YAJL_Parser parser(builder);
  if (!parser.feed(text, length) || !parser.complete()) {
    if (error)
      *error = parser.cancelled() ? "number out of range or nesting deeper than " +
                                        std::to_string(Value_Builder::MAX_DEPTH)
                                  : parser.error();
    return false;
  }
  if (!builder.done()) {
    if (error) *error = "no JSON value";
    return false;
  }
  out = std::move(builder.value());
  return true;
}

bool read(const std::string& text, Value& out, std::string* error) {
  return read(text.data(), text.size(), out, error);
}

int yajl_gen_value(yajl_gen_t* g, const Value& value) {
  yajl_gen_status st = yajl_gen_status_ok;
  switch (value.type()) {
    case null_type:
      return yajl_gen_null(g);
    case bool_type:
      return yajl_gen_bool(g, value.get_bool());
    case str_type:
      return yajl_gen_text(g, value.get_str());
    case real_type:
      return yajl_gen_double(g, value.get_real());
    case int_type:
      if (value.is_uint64()) {
        std::string digits = std::to_string(value.get_uint64());
        return yajl_gen_number(g, digits.data(), digits.size());
      }
      return yajl_gen_integer(g, value.get_int64());
    case obj_type:
      st = yajl_gen_map_open(g);
      for (const auto& member : value.get_obj()) {
        if (st != yajl_gen_status_ok) return st;
        st = yajl_gen_text(g, member.first);
        if (st == yajl_gen_status_ok) st = static_cast<yajl_gen_status>(
            yajl_gen_value(g, member.second));
      }
      return st == yajl_gen_status_ok ? yajl_gen_map_close(g) : st;
    case array_type:
      st = yajl_gen_array_open(g);
      for (const auto& element : value.get_array()) {
        if (st != yajl_gen_status_ok) return st;
        st = static_cast<yajl_gen_status>(yajl_gen_value(g, element));
      }
      return st == yajl_gen_status_ok ? yajl_gen_array_close(g) : st;
  }
  return yajl_gen_invalid_string;
}

std::string JSON_Dump(const Value& value, bool pretty) {
  YAJL_String_Printer printer;
  YAJL_Gen g(yajl_gen_alloc_printer(&printer, nullptr, pretty, "    "));
  if (!g.get()) return std::string();
  // Dumps are for logs and files: keep invalid UTF-8 rather than lose the
  // whole text.
  yajl_gen_config(g, yajl_gen_validate_utf8, 0);
  yajl_gen_value(g, value);
  return printer.text;
}

}  // namespace json_spirit
