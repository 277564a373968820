#include "agent/json_spirit/json_spirit.h"

namespace json_spirit {

const Value Value::null;

const char* type_name(Value_type t) {
  switch (t) {
    case obj_type: return "object";
    case array_type: return "array";
    case str_type: return "string";
    case bool_type: return "boolean";
    case real_type: return "real";
    case int_type: return "integer";
    case null_type: return "null";
  }
  return "unknown";
}

Value_type Value::type() const {
  switch (v_.index()) {
    case 0: return null_type;
    case 1: return obj_type;
    case 2: return array_type;
    case 3: return str_type;
    case 4: return bool_type;
    case 5: return real_type;
    default: return int_type;
  }
}

namespace {
[[noreturn]] void wrong_kind(Value_type want, Value_type have) {
  throw Type_Error(std::string("JSON value is ") + type_name(have) +
                   ", expected " + type_name(want));
}
}  // namespace

const std::string& Value::get_str() const {
  if (auto p = std::get_if<std::string>(&v_)) return *p;
  wrong_kind(str_type, type());
}

const Object& Value::get_obj() const {
  if (auto p = std::get_if<Object>(&v_)) return *p;
  wrong_kind(obj_type, type());
}

Object& Value::get_obj() {
  if (auto p = std::get_if<Object>(&v_)) return *p;
  wrong_kind(obj_type, type());
}

const Array& Value::get_array() const {
  if (auto p = std::get_if<Array>(&v_)) return *p;
  wrong_kind(array_type, type());
}

Array& Value::get_array() {
  if (auto p = std::get_if<Array>(&v_)) return *p;
  wrong_kind(array_type, type());
}

bool Value::get_bool() const {
  if (auto p = std::get_if<bool>(&v_)) return *p;
  wrong_kind(bool_type, type());
}

std::int64_t Value::get_int64() const {
  if (auto p = std::get_if<std::int64_t>(&v_)) return *p;
  if (is_uint64()) throw Type_Error("JSON integer does not fit 64-bit signed");
  wrong_kind(int_type, type());
}

std::uint64_t Value::get_uint64() const {
  if (auto p = std::get_if<std::uint64_t>(&v_)) return *p;
  if (auto p = std::get_if<std::int64_t>(&v_)) {
    if (*p < 0) throw Type_Error("JSON integer is negative");
    return static_cast<std::uint64_t>(*p);
  }
  wrong_kind(int_type, type());
}

double Value::get_real() const {
  if (auto p = std::get_if<double>(&v_)) return *p;
  if (auto p = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*p);
  if (auto p = std::get_if<std::uint64_t>(&v_)) return static_cast<double>(*p);
  wrong_kind(real_type, type());
}

bool Value::operator==(const Value& other) const { return v_ == other.v_; }

}  // namespace json_spirit
