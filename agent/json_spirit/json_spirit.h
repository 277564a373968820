// The agent's JSON value: ids, params, results and REST bodies all travel as
// json_spirit::Value. JSON text is read and written through YAJL only.
#ifndef JSON_SPIRIT_JSON_SPIRIT_H
#define JSON_SPIRIT_JSON_SPIRIT_H

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

struct yajl_gen_t;

namespace json_spirit {

// The numeric codes appear in log lines, so they are fixed. Integers keep
// one code whether signed or unsigned; Value::is_uint64() tells them apart.
enum Value_type {
  obj_type = 0,
  array_type = 1,
  str_type = 2,
  bool_type = 3,
  real_type = 4,
  int_type = 5,
  null_type = 7
};

class Value;
// Keys are unique and iterate in byte order.
typedef std::map<std::string, Value> Object;
typedef std::vector<Value> Array;

// Thrown by the checked accessors and the *_or_throw helpers.
class Type_Error : public std::runtime_error {
 public:
  explicit Type_Error(const std::string& what) : std::runtime_error(what) {}
};

class Value {
 public:
  static const Value null;

  Value() : v_(Null()) {}
  Value(const char* s) : v_(std::string(s ? s : "")) {}
  Value(const std::string& s) : v_(s) {}
  Value(std::string&& s) : v_(std::move(s)) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}
  Value(long i) : v_(static_cast<std::int64_t>(i)) {}
  Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
  Value(unsigned u) : v_(static_cast<std::int64_t>(u)) {}
  Value(unsigned long u) { set_unsigned(u); }
  Value(unsigned long long u) { set_unsigned(u); }
  Value(double d) : v_(d) {}
  Value(const Object& o) : v_(o) {}
  Value(Object&& o) : v_(std::move(o)) {}
  Value(const Array& a) : v_(a) {}
  Value(Array&& a) : v_(std::move(a)) {}

  Value_type type() const;
  bool is_null() const { return std::holds_alternative<Null>(v_); }
  // True for an integer above INT64_MAX, which only the unsigned form holds.
  bool is_uint64() const { return std::holds_alternative<std::uint64_t>(v_); }

  // Checked accessors: a value of another kind throws Type_Error.
  const std::string& get_str() const;
  const Object& get_obj() const;
  Object& get_obj();
  const Array& get_array() const;
  Array& get_array();
  bool get_bool() const;
  std::int64_t get_int64() const;
  std::uint64_t get_uint64() const;
  int get_int() const { return static_cast<int>(get_int64()); }
  // Integers convert to double.
  double get_real() const;

  bool operator==(const Value& other) const;
  bool operator!=(const Value& other) const { return !(*this == other); }

 private:
  struct Null {
    bool operator==(const Null&) const { return true; }
  };
  template <class U>
  void set_unsigned(U u) {
    if (u <= static_cast<U>(INT64_MAX))
      v_ = static_cast<std::int64_t>(u);
    else
      v_ = static_cast<std::uint64_t>(u);
  }

  std::variant<Null, Object, Array, std::string, bool, double, std::int64_t,
               std::uint64_t>
      v_;
};

// Name of a kind for messages ("object", "array", ...).
const char* type_name(Value_type t);

// --- member helpers --------------------------------------------------------
// A missing member yields nothing (null pointer or false). A value that is not
// an object has no members.

const std::string* object_get_str(const Object& obj, const std::string& key);
const std::string* object_get_str(const Value& obj, const std::string& key);
const Object* object_get_object(const Object& obj, const std::string& key);
const Object* object_get_object(const Value& obj, const std::string& key);

// Fill `out` from the member. Missing: false, `out` unchanged. Present with
// another kind: throws Type_Error, so callers can tell a typo from a default.
bool object_get(const Object& obj, const std::string& key, std::string& out);
bool object_get(const Object& obj, const std::string& key, std::int64_t& out);
bool object_get(const Object& obj, const std::string& key, bool& out);

// The string member, or Type_Error when it is missing or not a string.
const std::string& object_get_str_or_throw(const Object& obj,
                                           const std::string& key);

// Replace each "{name}" of `text` by the member `name` of `binders`: strings
// as their text, other values as compact JSON. Every other byte stays as
// written (a command's own braces, as in awk or shell, must reach it
// unchanged): braces naming no member, doubled or unbalanced braces.
// Values put in are not searched again.
void format_str_by_obj(const Object& binders, std::string& text);

// --- text ------------------------------------------------------------------

// JSON text of a value; `pretty` indents with four spaces.
std::string JSON_Dump(const Value& value, bool pretty);

// Write a value into a YAJL generator; returns the yajl_gen_status.
int yajl_gen_value(yajl_gen_t* g, const Value& value);

// Where compact text goes: `text` collects it, and `drain()` is called
// whenever it holds `drain_at` bytes or more, to pass it on and clear it;
// a false from drain stops the writing.
class Text_Out {
 public:
  virtual ~Text_Out();
  virtual bool drain() = 0;
  std::string text;
  std::size_t drain_at = 16 * 1024;
};

// The compact JSON text of a value, byte for byte what yajl_gen_value
// writes, without a generator's per-token cost. False when a string is not
// valid UTF-8, a number is not finite, or drain() said stop.
bool write_compact(const Value& value, Text_Out& out);
// Appends to `out` the compact text of a value (as write_compact) or of a
// string holding `length` bytes at `data`; false as write_compact.
bool append_compact(const Value& value, std::string& out);
bool append_string(const char* data, std::size_t length, std::string& out);

// True when `text` is one strict JSON value that read() takes: a reader of
// the text as it stands gets the value read() would build. Anything else
// (whitespace JSON does not allow, a lone surrogate, bytes that are not
// UTF-8, nesting past what read() takes, a number no double holds) is
// false; so, to stay on the safe side, are some texts read() would take.
bool is_exact_json(const char* text, std::size_t length);

// Parse one JSON text. On failure returns false, leaves `out` unchanged and,
// when `error` is given, describes what is wrong.
bool read(const char* text, std::size_t length, Value& out,
          std::string* error = nullptr);
bool read(const std::string& text, Value& out, std::string* error = nullptr);

}  // namespace json_spirit

#endif
