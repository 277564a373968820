#include <yajl/yajl_gen.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "agent/json_spirit/json_spirit.h"
#include "agent/json_spirit/value_builder.h"
#include "agent/json_io/yajl_gen.h"
#include "agent/json_io/yajl_handler.h"
#include "agent/platform/utf.h"

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
      if (value.is_uint64()) return yajl_gen_whole(g, value.get_uint64());
      return yajl_gen_whole(g, value.get_int64());
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

Text_Out::~Text_Out() {}

namespace {

// What each byte needs: 0 nothing, 1 an escape, 2 a UTF-8 check of the
// whole text (a byte of a multi-byte sequence).
struct Byte_Kinds {
  unsigned char kind[256];
  constexpr Byte_Kinds() : kind() {
    for (int c = 0; c < 256; ++c)
      kind[c] = c < 0x20 || c == '"' || c == '\\' ? 1 : c >= 0x80 ? 2 : 0;
  }
};
constexpr Byte_Kinds byte_kinds;

bool write_string(const std::string& s, std::string& out) {
  static const char hex[] = "0123456789ABCDEF";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  const unsigned char* const end = p + s.size();
  const unsigned char* run = p;
  bool checked = false;
  out.push_back('"');
  for (; p < end; ++p) {
    const unsigned char kind = byte_kinds.kind[*p];
    if (kind == 0) continue;
    if (kind == 2) {
      // Plain ASCII, the usual text, needs no check at all.
      if (!checked && !is_valid_utf8(s.data(), s.size())) return false;
      checked = true;
      continue;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    run = p + 1;
    switch (*p) {
      case '"': out.append("\\\"", 2); break;
      case '\\': out.append("\\\\", 2); break;
      case '\n': out.append("\\n", 2); break;
      case '\r': out.append("\\r", 2); break;
      case '\t': out.append("\\t", 2); break;
      case '\f': out.append("\\f", 2); break;
      case '\b': out.append("\\b", 2); break;
      default: {
        const char escaped[6] = {'\\', 'u', '0', '0', hex[*p >> 4], hex[*p & 15]};
        out.append(escaped, sizeof escaped);
      }
    }
  }
  out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(end - run));
  out.push_back('"');
  return true;
}

template <class Integer>
void write_whole(Integer v, std::string& out) {
  char digits[24];
  auto stop = std::to_chars(digits, digits + sizeof digits, v).ptr;
  out.append(digits, static_cast<std::size_t>(stop - digits));
}

// As YAJL prints doubles: "%.20g", with ".0" added to whole numbers.
bool write_real(double v, std::string& out) {
  if (!std::isfinite(v)) return false;
  char digits[32];
  int n = std::snprintf(digits, sizeof digits, "%.20g", v);
  if (n <= 0) return false;
  out.append(digits, static_cast<std::size_t>(n));
  if (std::strspn(digits, "0123456789-") == static_cast<std::size_t>(n))
    out.append(".0", 2);
  return true;
}

bool write_value(const Value& value, Text_Out& out) {
  std::string& text = out.text;
  switch (value.type()) {
    case null_type: text.append("null", 4); break;
    case bool_type:
      if (value.get_bool()) text.append("true", 4);
      else text.append("false", 5);
      break;
    case str_type:
      if (!write_string(value.get_str(), text)) return false;
      break;
    case real_type:
      if (!write_real(value.get_real(), text)) return false;
      break;
    case int_type:
      if (value.is_uint64()) write_whole(value.get_uint64(), text);
      else write_whole(value.get_int64(), text);
      break;
    case obj_type: {
      text.push_back('{');
      bool first = true;
      for (const auto& member : value.get_obj()) {
        if (!first) text.push_back(',');
        first = false;
        if (!write_string(member.first, text)) return false;
        text.push_back(':');
        if (!write_value(member.second, out)) return false;
      }
      out.text.push_back('}');
      break;
    }
    case array_type: {
      text.push_back('[');
      bool first = true;
      for (const auto& element : value.get_array()) {
        if (!first) text.push_back(',');
        first = false;
        if (!write_value(element, out)) return false;
      }
      out.text.push_back(']');
      break;
    }
  }
  return out.text.size() < out.drain_at || out.drain();
}

}  // namespace

bool write_compact(const Value& value, Text_Out& out) {
  return write_value(value, out);
}

bool write_compact_string(const std::string& s, std::string& out) {
  return write_string(s, out);
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
