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

bool write_string(const char* data, std::size_t length, std::string& out) {
  return append_json_string(data, length, out);
}

bool write_string(const std::string& s, std::string& out) {
  return write_string(s.data(), s.size(), out);
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

bool append_compact(const Value& value, std::string& out) {
  struct Unbounded : Text_Out {
    bool drain() override { return true; }
  } to;
  to.drain_at = static_cast<std::size_t>(-1);
  to.text.swap(out);
  const bool ok = write_value(value, to);
  to.text.swap(out);
  return ok;
}

bool append_string(const char* data, std::size_t length, std::string& out) {
  return write_string(data, length, out);
}

namespace {

// The four digits of a \u escape at `p` (already known to be in the text).
bool hex_unit(const unsigned char* p, unsigned& unit) {
  unit = 0;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = p[i];
    unit <<= 4;
    if (c >= '0' && c <= '9') unit |= c - '0';
    else if (c >= 'a' && c <= 'f') unit |= c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') unit |= c - 'A' + 10;
    else return false;
  }
  return true;
}

// A string from its opening quote; `p` ends past the closing one. `high`
// is set when a byte of a multi-byte sequence was seen (checked later,
// once for the whole text).
struct Plain_Bytes {
  bool plain[256];
  constexpr Plain_Bytes() : plain() {
    for (int c = 0; c < 256; ++c) plain[c] = c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
  }
};
constexpr Plain_Bytes plain_bytes;

bool exact_string(const unsigned char*& p, const unsigned char* end, bool& high) {
  for (++p; p < end;) {
    // Most of a string is plain ASCII.
    while (p < end && plain_bytes.plain[*p]) ++p;
    if (p == end) break;
    const unsigned char c = *p++;
    if (c == '"') return true;
    if (c < 0x20) return false;
    if (c >= 0x80) {
      high = true;
      continue;
    }
    if (c != '\\') continue;
    if (p == end) return false;
    switch (*p++) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        break;
      case 'u': {
        unsigned unit, low;
        if (end - p < 4 || !hex_unit(p, unit)) return false;
        p += 4;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
        if (unit < 0xD800 || unit > 0xDBFF) break;
        // A high surrogate stands only before its low half.
        if (end - p < 6 || p[0] != '\\' || p[1] != 'u' || !hex_unit(p + 2, low) ||
            low < 0xDC00 || low > 0xDFFF)
          return false;
        p += 6;
        break;
      }
      default:
        return false;
    }
  }
  return false;
}

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// A number; `p` ends past it. Short integers fit an int64_t; any other
// must come out finite, as read() wants it.
bool exact_number(const unsigned char*& p, const unsigned char* end) {
  const unsigned char* const start = p;
  if (*p == '-') ++p;
  if (p == end) return false;
  if (*p == '0') {
    ++p;
  } else if (is_digit(*p)) {
    while (p < end && is_digit(*p)) ++p;
  } else {
    return false;
  }
  bool whole = true;
  if (p < end && *p == '.') {
    whole = false;
    if (++p == end || !is_digit(*p)) return false;
    while (p < end && is_digit(*p)) ++p;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    whole = false;
    if (++p < end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !is_digit(*p)) return false;
    while (p < end && is_digit(*p)) ++p;
  }
  if (whole && p - start <= 18) return true;
  double d;
  const char* first = reinterpret_cast<const char*>(start);
  const char* last = reinterpret_cast<const char*>(p);
  const auto r = std::from_chars(first, last, d);
  return r.ec == std::errc() && r.ptr == last && std::isfinite(d);
}

bool exact_literal(const unsigned char*& p, const unsigned char* end, const char* word,
                   std::size_t length) {
  if (static_cast<std::size_t>(end - p) < length || std::memcmp(p, word, length) != 0)
    return false;
  p += length;
  return true;
}

}  // namespace

bool is_exact_json(const char* text, std::size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* const end = p + length;
  // The closing bracket of each open container, innermost last.
  unsigned char open[Value_Builder::MAX_DEPTH];
  std::size_t depth = 0;
  bool high = false;
  enum { VALUE, KEY, AFTER } want = VALUE;
  for (;;) {
    while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
    if (want == AFTER) {
      if (depth == 0) return p == end && (!high || is_valid_utf8(text, length));
      if (p == end) return false;
      const unsigned char close = open[depth - 1];
      if (*p == ',') {
        ++p;
        want = close == '}' ? KEY : VALUE;
      } else if (*p == close) {
        ++p;
        --depth;
      } else {
        return false;
      }
      continue;
    }
    if (p == end) return false;
    if (want == KEY) {
      if (*p != '"' || !exact_string(p, end, high)) return false;
      while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
      if (p == end || *p != ':') return false;
      ++p;
      want = VALUE;
      continue;
    }
    bool ok;
    switch (*p) {
      case '{':
      case '[': {
        // read() refuses a container past its depth, an empty one too.
        if (depth == Value_Builder::MAX_DEPTH) return false;
        const unsigned char close = *p == '{' ? '}' : ']';
        ++p;
        while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
        if (p < end && *p == close) {
          ++p;
          want = AFTER;
        } else {
          open[depth++] = close;
          want = close == '}' ? KEY : VALUE;
        }
        continue;
      }
      case '"': ok = exact_string(p, end, high); break;
      case 't': ok = exact_literal(p, end, "true", 4); break;
      case 'f': ok = exact_literal(p, end, "false", 5); break;
      case 'n': ok = exact_literal(p, end, "null", 4); break;
      default: ok = exact_number(p, end); break;
    }
    if (!ok) return false;
    want = AFTER;
  }
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
