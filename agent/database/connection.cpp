#include "agent/database/connection.h"

#include <ace/Log_Msg.h>
#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "agent/paths/app_data.h"
#include "agent/text/uuid_text.h"
#include "agent/platform/platform.h"

namespace database {
namespace sql {

namespace {

struct Statement_Guard {
  sqlite3_stmt* s;
  ~Statement_Guard() { sqlite3_finalize(s); }
};

}  // namespace

Connection* Connection::open(const std::string& path, int busy_timeout_ms,
                             std::string* error) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                     SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, busy_timeout_ms);
  sqlite3_exec(db, "PRAGMA foreign_keys=ON; PRAGMA synchronous=NORMAL;", nullptr,
               nullptr, nullptr);
  return new Connection(db);
}

Connection::~Connection() { sqlite3_close(db_); }

void Connection::report(const char* what, const std::string& text) const {
  ACE_ERROR((LM_ERROR, "Failed to %C '%C': %C\n", what, text.c_str(), sqlite3_errmsg(db_)));
}

bool Connection::execute_text(const char* text) {
  if (sqlite3_exec(db_, text, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  report("run", text);
  return false;
}

long long Connection::last_insert_id() const { return sqlite3_last_insert_rowid(db_); }

sqlite3_stmt* Connection::prepare(const SQL& sql) {
  const std::string text = sql.text();
  if (!sql.valid()) {
    ACE_ERROR((LM_ERROR, "Refused statement '%C': a name is not an identifier\n",
               text.c_str()));
    return nullptr;
  }
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db_, text.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    report("prepare", text);
    return nullptr;
  }
  for (const auto& b : sql.bindings()) {
    const int index = sqlite3_bind_parameter_index(s, b.first.c_str());
    const Binding_Value& v = b.second;
    int rc = SQLITE_OK;
    if (index == 0) continue;  // a value the text does not use
    switch (v.kind()) {
      case Binding_Value::NONE: rc = sqlite3_bind_null(s, index); break;
      case Binding_Value::INTEGER: rc = sqlite3_bind_int64(s, index, v.integer()); break;
      case Binding_Value::TEXT:
        rc = sqlite3_bind_text(s, index, v.bytes().data(), int(v.bytes().size()),
                               SQLITE_TRANSIENT);
        break;
      case Binding_Value::BLOB:
        rc = sqlite3_bind_blob(s, index, v.bytes().data(), int(v.bytes().size()),
                               SQLITE_TRANSIENT);
        break;
    }
    if (rc != SQLITE_OK) {
      report("bind a value of", text);
      sqlite3_finalize(s);
      return nullptr;
    }
  }
  return s;
}

bool Connection::execute(const SQL& sql) {
  Statement_Guard s{prepare(sql)};
  if (!s.s) return false;
  int rc;
  while ((rc = sqlite3_step(s.s)) == SQLITE_ROW) {
  }
  if (rc == SQLITE_DONE) return true;
  report("run", sql.text());
  return false;
}

Legacy_Manager::Legacy_Manager() : folder_(app_data_template(App_Data::DB)) {}
Legacy_Manager::~Legacy_Manager() {}

void Legacy_Manager::set_folder(const std::string& folder) {
  std::lock_guard<std::mutex> g(lock_);
  folder_ = folder;
}

Connection_Ptr Legacy_Manager::get_connection_r(const std::string& name, const char* schema) {
  if (!is_identifier(name.c_str())) return Connection_Ptr();
  std::string path;
  {
    std::lock_guard<std::mutex> g(lock_);
    path = platform::expand_environment(folder_ + "/" + name + ".db");
  }
  std::string error;
  Connection_Ptr c(Connection::open(path, busy_timeout_ms_, &error));
  if (!c.get()) {
    ACE_ERROR((LM_ERROR, "Failed to open database %C: %C\n", path.c_str(), error.c_str()));
    return c;
  }
  std::lock_guard<std::mutex> g(lock_);
  if (!schema || ready_.count(path)) return c;
  if (!c->execute_text(schema)) return Connection_Ptr();
  ready_.insert(path);
  return c;
}

Query_Result_Handler::Query_Result_Handler(const Translation* key_translations,
                                           const Translation* value_translations,
                                           unsigned max_rows, unsigned max_bytes)
    : keys_(key_translations),
      values_(value_translations),
      max_rows_(max_rows),
      bytes_left_(max_bytes) {}

int Query_Result_Handler::code_of(const char* column) const {
  for (const Translation* t = values_; t && t->key; ++t)
    if (std::strlen(column) == t->length && std::memcmp(column, t->key, t->length) == 0)
      return t->code;
  return 0;
}

bool Query_Result_Handler::row(sqlite3_stmt* s, bool as_object, json_spirit::Value& out) {
  const int columns = sqlite3_column_count(s);
  json_spirit::Object object;
  json_spirit::Array array;
  for (int i = 0; i < columns; ++i) {
    const char* name = sqlite3_column_name(s, i);
    json_spirit::Value v;
    const int type = sqlite3_column_type(s, i);
    if (type == SQLITE_INTEGER) {
      v = static_cast<long long>(sqlite3_column_int64(s, i));
    } else if (type == SQLITE_FLOAT) {
      v = sqlite3_column_double(s, i);
    } else if (type == SQLITE_TEXT || type == SQLITE_BLOB) {
      const char* data = static_cast<const char*>(
          type == SQLITE_TEXT ? static_cast<const void*>(sqlite3_column_text(s, i))
                              : sqlite3_column_blob(s, i));
      const std::size_t length = static_cast<std::size_t>(sqlite3_column_bytes(s, i));
      if (length > bytes_left_) return false;
      bytes_left_ -= length;
      const int code = code_of(name);
      if (code == VT_UUID && length == 16)
        v = uuid_binary_to_string(reinterpret_cast<const unsigned char*>(data));
      else if (!(code == VT_JSON_TEXT && json_spirit::read(data, length, v)))
        v = std::string(data ? data : "", data ? length : 0);
    }
    if (!as_object) {
      array.push_back(std::move(v));
      continue;
    }
    bool left_out = false;
    for (const Translation* t = keys_; t && t->key; ++t)
      left_out = left_out || std::strcmp(name, t->key) == 0;
    if (!left_out) object[name] = std::move(v);
  }
  out = as_object ? json_spirit::Value(std::move(object)) : json_spirit::Value(std::move(array));
  return true;
}

bool Query_Result_Handler::lay_out(sqlite3_stmt* s, bool as_object) {
  const int columns = sqlite3_column_count(s);
  members_.clear();
  cells_.resize(static_cast<std::size_t>(columns));
  for (int i = 0; i < columns; ++i) {
    const char* name = sqlite3_column_name(s, i);
    if (!name) return false;  // out of memory in SQLite
    Member m{i, code_of(name), std::string()};
    if (as_object) {
      bool left_out = false;
      for (const Translation* t = keys_; t && t->key; ++t)
        left_out = left_out || std::strcmp(name, t->key) == 0;
      if (left_out) continue;
      if (!json_spirit::append_string(name, std::strlen(name), m.key)) return false;
      m.key.push_back(':');
    }
    members_.push_back(std::move(m));
  }
  if (as_object) {
    // An object keeps its members in key order, and of two columns of one
    // name the later one.
    std::stable_sort(members_.begin(), members_.end(), [s](const Member& a, const Member& b) {
      return std::strcmp(sqlite3_column_name(s, a.column), sqlite3_column_name(s, b.column)) < 0;
    });
    std::vector<Member> unique;
    for (Member& m : members_) {
      if (!unique.empty() && unique.back().key == m.key) unique.pop_back();
      unique.push_back(std::move(m));
    }
    members_.swap(unique);
  }
  // Each member's text starts with what stands before it.
  for (std::size_t i = 0; i < members_.size(); ++i)
    members_[i].key.insert(0, 1, i ? ',' : as_object ? '{' : '[');
  laid_out_ = s;
  laid_out_as_object_ = as_object;
  return true;
}

bool Query_Result_Handler::write_cell(const Member& member, const Cell& cell,
                                      std::string& out) {
  switch (cell.type) {
    case SQLITE_INTEGER: {
      char digits[24];
      const char* end = std::to_chars(digits, digits + sizeof digits, cell.integer).ptr;
      out.append(digits, static_cast<std::size_t>(end - digits));
      return true;
    }
    case SQLITE_TEXT:
    case SQLITE_BLOB:
      break;
    default:
      out.append("null", 4);
      return true;
  }
  if (member.code == VT_UUID && cell.length == 16) {
    out.push_back('"');
    out += uuid_binary_to_string(reinterpret_cast<const unsigned char*>(cell.data));
    out.push_back('"');
    return true;
  }
  if (member.code == VT_JSON_TEXT) {
    if (json_spirit::is_exact_json(cell.data, cell.length)) {
      out.append(cell.data, cell.length);
      return true;
    }
    json_spirit::Value v;
    if (json_spirit::read(cell.data, cell.length, v)) return json_spirit::append_compact(v, out);
  }
  return json_spirit::append_string(cell.data ? cell.data : "", cell.data ? cell.length : 0, out);
}

bool Query_Result_Handler::write_row(sqlite3_stmt* s, bool as_object, std::string& out) {
  if ((laid_out_ != s || laid_out_as_object_ != as_object) && !lay_out(s, as_object))
    return false;
  // Every column is read, in order, as row() reads them, so the byte
  // limit runs out on the same row.
  for (std::size_t i = 0; i < cells_.size(); ++i) {
    const int column = static_cast<int>(i);
    Cell& cell = cells_[i];
    cell.type = sqlite3_column_type(s, column);
    cell.data = nullptr;
    cell.length = 0;
    if (cell.type == SQLITE_INTEGER) {
      cell.integer = sqlite3_column_int64(s, column);
    } else if (cell.type == SQLITE_TEXT || cell.type == SQLITE_BLOB) {
      cell.data = static_cast<const char*>(
          cell.type == SQLITE_TEXT ? static_cast<const void*>(sqlite3_column_text(s, column))
                                   : sqlite3_column_blob(s, column));
      cell.length = static_cast<std::size_t>(sqlite3_column_bytes(s, column));
      if (cell.length > bytes_left_) return false;
      bytes_left_ -= cell.length;
    }
  }
  if (members_.empty()) out.push_back(as_object ? '{' : '[');
  for (const Member& m : members_) {
    out += m.key;
    const Cell& cell = cells_[static_cast<std::size_t>(m.column)];
    if (cell.type == SQLITE_FLOAT) {
      if (!json_spirit::append_compact(sqlite3_column_double(s, m.column), out)) return false;
    } else if (!write_cell(m, cell, out)) {
      return false;
    }
  }
  out.push_back(as_object ? '}' : ']');
  return true;
}

Legacy_Cursor::Legacy_Cursor(Connection& connection, const SQL& sql, int mode,
                             unsigned long long skip)
    : connection_(connection),
      text_(sql.text()),
      statement_(connection.prepare(sql)),
      mode_(mode),
      skip_(skip) {}

Legacy_Cursor::~Legacy_Cursor() { sqlite3_finalize(statement_); }

int Legacy_Cursor::step() {
  int rc;
  while ((rc = sqlite3_step(statement_)) == SQLITE_ROW && skip_ > 0) --skip_;
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) connection_.report("fetch rows of", text_);
  return rc;
}

bool Legacy_Cursor::fetch(json_spirit::Value& out) {
  if (!statement_) return false;
  Query_Result_Handler plain(nullptr, nullptr, ~0u, ~0u);
  Query_Result_Handler& h = handler_ ? *handler_ : plain;
  const bool as_object = (mode_ & MODE_OBJECTS) != 0;
  if (!(mode_ & MODE_ALL)) return step() == SQLITE_ROW && h.row(statement_, as_object, out);
  json_spirit::Array rows;
  int rc;
  while ((rc = step()) == SQLITE_ROW) {
    if (rows.size() >= h.max_rows()) return false;
    rows.emplace_back();
    if (!h.row(statement_, as_object, rows.back())) return false;
  }
  if (rc != SQLITE_DONE) return false;
  out = std::move(rows);
  return true;
}

Legacy_Cursor::Next Legacy_Cursor::write_next(std::string& out) {
  if (!statement_) return FAILED;
  Query_Result_Handler& h = handler_ ? *handler_ : plain_;
  const int rc = step();
  if (rc == SQLITE_DONE) return END;
  if (rc != SQLITE_ROW) return FAILED;
  if ((mode_ & MODE_ALL) && written_ >= h.max_rows()) return FAILED;
  ++written_;
  return h.write_row(statement_, (mode_ & MODE_OBJECTS) != 0, out) ? ROW : FAILED;
}

}  // namespace sql
}  // namespace database

template <>
database::sql::Legacy_Manager* default_service<database::sql::Legacy_Manager>() {
  static database::sql::Legacy_Manager manager;
  return &manager;
}
template class Service_Instance_T<database::sql::Legacy_Manager>;
