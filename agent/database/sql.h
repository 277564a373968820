// SQL statements built from parts. Every value a caller gives travels as a
// bound parameter, never inside the statement's text; the only names that
// reach the text (tables, columns, aliases) must look like identifiers.
#ifndef DATABASE_SQL_H
#define DATABASE_SQL_H

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace database {
namespace sql {

class Binding_Value {
 public:
  enum Kind { NONE, INTEGER, TEXT, BLOB };

  Binding_Value() : kind_(NONE) {}
  Binding_Value(long long integer) : kind_(INTEGER), integer_(integer) {}
  Binding_Value(const std::string& text) : kind_(TEXT), bytes_(text) {}
  Binding_Value(const char* text) : kind_(TEXT), bytes_(text ? text : "") {}
  static Binding_Value blob(const void* data, std::size_t length);

  Kind kind() const { return kind_; }
  long long integer() const { return integer_; }
  const std::string& bytes() const { return bytes_; }

 private:
  Kind kind_;
  long long integer_ = 0;
  std::string bytes_;
};

// True for a name that may stand in statement text: letters, digits and
// '_', with '.' between parts ("i.uuid").
bool is_identifier(const char* name);

// A statement: its text with :name parameters and the values bound to
// them. Shared through ACE_Intrusive_Auto_Ptr.
class SQL {
 public:
  typedef std::vector<std::pair<std::string, Binding_Value>> Bindings;

  virtual ~SQL();
  virtual std::string text() const = 0;

  void bind(const std::string& name, const Binding_Value& value);
  // Binds the 16 bytes of a UUID's text; a text that is no UUID is bound
  // as it is, so it matches no stored UUID (and stays data).
  void bind_uuid(const std::string& name, const std::string& uuid_text);
  const Bindings& bindings() const { return bindings_; }
  // A fresh parameter name (":p1", ":p2", ...).
  std::string parameter();
  // False once a part was refused (a name that is no identifier); such a
  // statement is never run.
  bool valid() const { return valid_; }
  void refuse() { valid_ = false; }

  static void intrusive_add_ref(SQL* s) {
    if (s) ++s->refs_;
  }
  // ACE hands over null pointers too.
  static void intrusive_remove_ref(SQL* s) {
    if (s && --s->refs_ == 0) delete s;
  }

 private:
  Bindings bindings_;
  int parameters_ = 0;
  bool valid_ = true;
  std::atomic<long> refs_{0};
};

// A statement written out whole by its caller (schema, inserts).
class Text_SQL : public SQL {
 public:
  explicit Text_SQL(std::string text) : text_(std::move(text)) {}
  std::string text() const override { return text_; }

 private:
  std::string text_;
};

// Conditions joined by one operator, each comparing a column with a bound
// value.
class Filter_SQL {
 public:
  Filter_SQL(SQL& owner, const char* joiner) : owner_(owner), joiner_(joiner) {}
  bool add_key_uuid_eq_item(const std::string& key, const std::string& uuid_text);
  bool add_kv_eq_item(const std::string& key, const Binding_Value& value);
  std::string text() const;
  bool empty() const { return items_.empty(); }

 private:
  std::string add_item(const std::string& key);

  SQL& owner_;
  const char* joiner_;
  std::vector<std::string> items_;
};

// A statement with a WHERE clause: an optional condition of the caller's
// and the filters, all joined by AND.
class Where_SQL : public SQL {
 public:
  // The AND filter of the statement (one per statement); null when it
  // cannot be made.
  Filter_SQL* and_filter();

 protected:
  void set_condition(const char* condition) { condition_ = condition ? condition : ""; }
  std::string where_text() const;

 private:
  std::string condition_;
  std::unique_ptr<Filter_SQL> filter_;
};

class Select_SQL : public Where_SQL {
 public:
  Select_SQL(const char* table, const char* alias);
  // Joins `table` on `condition`; rows then come in the order of the
  // joined table's ids, the order they were recorded in.
  Select_SQL& join(const char* table, const char* alias, const std::string& condition);
  Select_SQL& select(const char* columns);
  Select_SQL& offset(long long rows);
  Select_SQL& limit(long long rows);
  std::string text() const override;

 private:
  std::string from_, columns_ = "*", order_;
  bool has_offset_ = false, has_limit_ = false;
};

class Delete_SQL : public Where_SQL {
 public:
  explicit Delete_SQL(const char* table);
  Delete_SQL& where(const char* condition);
  std::string text() const override;

 private:
  std::string table_;
};

}  // namespace sql
}  // namespace database

#endif
