#include "agent/database/sql.h"

#include <cctype>

#include "agent/text/uuid_text.h"

namespace database {
namespace sql {

Binding_Value Binding_Value::blob(const void* data, std::size_t length) {
  Binding_Value v;
  v.kind_ = BLOB;
  v.bytes_.assign(static_cast<const char*>(data), length);
  return v;
}

bool is_identifier(const char* name) {
  if (!name || !*name) return false;
  bool part_start = true;
  for (const char* p = name; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '.' && !part_start) {
      part_start = true;
      continue;
    }
    if (!(std::isalpha(c) || c == '_' || (!part_start && std::isdigit(c)))) return false;
    part_start = false;
  }
  return !part_start;
}

SQL::~SQL() {}

void SQL::bind(const std::string& name, const Binding_Value& value) {
  for (auto& b : bindings_)
    if (b.first == name) {
      b.second = value;
      return;
    }
  bindings_.emplace_back(name, value);
}

void SQL::bind_uuid(const std::string& name, const std::string& uuid_text) {
  unsigned char bytes[16];
  if (uuid_string_to_binary(uuid_text, bytes))
    bind(name, Binding_Value::blob(bytes, sizeof bytes));
  else
    bind(name, Binding_Value(uuid_text));
}

std::string SQL::parameter() { return ":p" + std::to_string(++parameters_); }

std::string Filter_SQL::add_item(const std::string& key) {
  if (!is_identifier(key.c_str())) {
    owner_.refuse();
    return std::string();
  }
  std::string name = owner_.parameter();
  items_.push_back(key + "=" + name);
  return name;
}

bool Filter_SQL::add_key_uuid_eq_item(const std::string& key, const std::string& uuid_text) {
  const std::string name = add_item(key);
  if (name.empty()) return false;
  owner_.bind_uuid(name, uuid_text);
  return true;
}

bool Filter_SQL::add_kv_eq_item(const std::string& key, const Binding_Value& value) {
  const std::string name = add_item(key);
  if (name.empty()) return false;
  owner_.bind(name, value);
  return true;
}

std::string Filter_SQL::text() const {
  std::string t;
  for (const std::string& item : items_) {
    if (!t.empty()) t += joiner_;
    t += item;
  }
  return t;
}

Filter_SQL* Where_SQL::and_filter() {
  if (!filter_) filter_.reset(new (std::nothrow) Filter_SQL(*this, " AND "));
  return filter_.get();
}

std::string Where_SQL::where_text() const {
  std::string t = condition_;
  if (filter_ && !filter_->empty()) t += (t.empty() ? "" : " AND ") + filter_->text();
  return t.empty() ? t : " WHERE " + t;
}

namespace {

std::string table_text(SQL& owner, const char* table, const char* alias) {
  if (!is_identifier(table) || (alias && !is_identifier(alias))) {
    owner.refuse();
    return std::string();
  }
  return alias ? std::string(table) + " AS " + alias : std::string(table);
}

}  // namespace

Select_SQL::Select_SQL(const char* table, const char* alias)
    : from_(table_text(*this, table, alias)) {}

Select_SQL& Select_SQL::join(const char* table, const char* alias,
                             const std::string& condition) {
  from_ += " JOIN " + table_text(*this, table, alias) + " ON " + condition;
  order_ = std::string(alias ? alias : table ? table : "") + ".id";
  return *this;
}

Select_SQL& Select_SQL::select(const char* columns) {
  columns_ = columns ? columns : "*";
  return *this;
}

Select_SQL& Select_SQL::offset(long long rows) {
  has_offset_ = true;
  bind(":offset", rows);
  return *this;
}

Select_SQL& Select_SQL::limit(long long rows) {
  has_limit_ = true;
  bind(":limit", rows);
  return *this;
}

std::string Select_SQL::text() const {
  std::string t = "SELECT " + columns_ + " FROM " + from_ + where_text();
  if (!order_.empty()) t += " ORDER BY " + order_;
  // SQLite takes OFFSET only after a LIMIT; -1 stands for none.
  if (has_limit_ || has_offset_) t += has_limit_ ? " LIMIT :limit" : " LIMIT -1";
  if (has_offset_) t += " OFFSET :offset";
  return t;
}

Delete_SQL::Delete_SQL(const char* table) : table_(table_text(*this, table, nullptr)) {}

Delete_SQL& Delete_SQL::where(const char* condition) {
  set_condition(condition);
  return *this;
}

std::string Delete_SQL::text() const { return "DELETE FROM " + table_ + where_text(); }

}  // namespace sql
}  // namespace database
