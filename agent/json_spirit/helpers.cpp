#include "agent/json_spirit/json_spirit.h"

namespace json_spirit {

namespace {

const Value* member(const Object& obj, const std::string& key) {
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &it->second;
}

[[noreturn]] void wrong_member(const std::string& key, const Value& v,
                               Value_type want) {
  throw Type_Error("member '" + key + "' is " + type_name(v.type()) +
                   ", expected " + type_name(want));
}

}  // namespace

const std::string* object_get_str(const Object& obj, const std::string& key) {
  const Value* v = member(obj, key);
  return v && v->type() == str_type ? &v->get_str() : nullptr;
}

const std::string* object_get_str(const Value& obj, const std::string& key) {
  return obj.type() == obj_type ? object_get_str(obj.get_obj(), key) : nullptr;
}

const Object* object_get_object(const Object& obj, const std::string& key) {
  const Value* v = member(obj, key);
  return v && v->type() == obj_type ? &v->get_obj() : nullptr;
}

const Object* object_get_object(const Value& obj, const std::string& key) {
  return obj.type() == obj_type ? object_get_object(obj.get_obj(), key)
                                : nullptr;
}

bool object_get(const Object& obj, const std::string& key, std::string& out) {
  const Value* v = member(obj, key);
  if (!v) return false;
  if (v->type() != str_type) wrong_member(key, *v, str_type);
  out = v->get_str();
  return true;
}

bool object_get(const Object& obj, const std::string& key, std::int64_t& out) {
  const Value* v = member(obj, key);
  if (!v) return false;
  if (v->type() != int_type) wrong_member(key, *v, int_type);
  out = v->get_int64();
  return true;
}

bool object_get(const Object& obj, const std::string& key, bool& out) {
  const Value* v = member(obj, key);
  if (!v) return false;
  if (v->type() != bool_type) wrong_member(key, *v, bool_type);
  out = v->get_bool();
  return true;
}

const std::string& object_get_str_or_throw(const Object& obj,
                                           const std::string& key) {
  const Value* v = member(obj, key);
  if (!v) throw Type_Error("member '" + key + "' is missing");
  if (v->type() != str_type) wrong_member(key, *v, str_type);
  return v->get_str();
}

void format_str_by_obj(const Object& binders, std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t open = text.find('{', i);
    const std::size_t close =
        open == std::string::npos ? std::string::npos : text.find('}', open + 1);
    if (close == std::string::npos) break;
    // The innermost "{...}" from here: in "{{a}}" that is "{a}", so a
    // placeholder inside literal braces is still found.
    const std::size_t start = text.rfind('{', close);
    const Value* v = member(binders, text.substr(start + 1, close - start - 1));
    out.append(text, i, (v ? start : close + 1) - i);
    if (v) out += v->type() == str_type ? v->get_str() : JSON_Dump(*v, false);
    i = close + 1;
  }
  out.append(text, i, std::string::npos);
  text.swap(out);
}

}  // namespace json_spirit
