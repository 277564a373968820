// Connections to the agent's SQLite databases and the cursor that reads
// query rows into JSON values.
#ifndef DATABASE_CONNECTION_H
#define DATABASE_CONNECTION_H

#include <ace/Intrusive_Auto_Ptr.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "agent/database/sql.h"
#include "agent/json_spirit/json_spirit.h"
#include "agent/platform/service_instance.h"

struct sqlite3;
struct sqlite3_stmt;

namespace database {
namespace sql {

// One SQLite connection. A busy or locked database is waited for up to the
// connection's busy timeout, then reported as a failure naming the
// statement and SQLite's reason.
class Connection {
 public:
  // Null (with `error` set) when the file cannot be opened.
  static Connection* open(const std::string& path, int busy_timeout_ms, std::string* error);
  ~Connection();

  // Runs a statement that returns no rows; false when it fails.
  bool execute(const SQL& sql);
  // Runs statement text holding no values (schema, pragmas).
  bool execute_text(const char* text);
  long long last_insert_id() const;
  // Prepares `sql` with its values bound; null (logged) on failure.
  sqlite3_stmt* prepare(const SQL& sql);
  // Logs a failure of `what` with SQLite's reason.
  void report(const char* what, const std::string& text) const;
  sqlite3* handle() const { return db_; }

  static void intrusive_add_ref(Connection* c) {
    if (c) ++c->refs_;
  }
  // ACE hands over null pointers too.
  static void intrusive_remove_ref(Connection* c) {
    if (c && --c->refs_ == 0) delete c;
  }

 private:
  explicit Connection(sqlite3* db) : db_(db) {}
  sqlite3* db_;
  std::atomic<long> refs_{0};
};

typedef ACE_Intrusive_Auto_Ptr<Connection> Connection_Ptr;

// Hands out connections to the databases below $APPDATA/db, by name. Each
// call opens a connection of its own, so threads never share one. Which
// tables a database holds is its owner's business: the owner hands its
// schema over, and the first connection to the file runs it.
class Legacy_Manager : public Service_Instance_T<Legacy_Manager> {
 public:
  Legacy_Manager();
  virtual ~Legacy_Manager();
  // The connection to `name`.db; null when it cannot be opened or its
  // `schema` (statement text, run once per file; may be null) fails.
  virtual Connection_Ptr get_connection_r(const std::string& name, const char* schema);

  // Where the files live (default "$APPDATA/db") and how long a busy
  // database is waited for (default 5 s).
  void set_folder(const std::string& folder);
  void set_busy_timeout(int milliseconds) { busy_timeout_ms_ = milliseconds; }

 private:
  std::mutex lock_;
  std::string folder_;
  std::set<std::string> ready_;  // files whose schema has run
  std::atomic<int> busy_timeout_ms_{5000};
};

// How a column's value is turned into JSON.
enum Value_Translation {
  VT_JSON_TEXT = 4,  // JSON text becomes the value it holds
  VT_UUID = 5,       // 16 bytes become the UUID's text
};

struct Translation {
  const char* key;      // column name; null ends a table
  std::size_t length;
  int code;
};

// Shapes fetched rows. Columns the key table names are left out;
// value translations convert values by column name. At most `max_rows`
// rows are taken per fetch and at most `max_bytes` of text and blobs; past
// that the fetch fails rather than grow without bound.
class Query_Result_Handler {
 public:
  Query_Result_Handler(const Translation* key_translations,
                       const Translation* value_translations, unsigned max_rows,
                       unsigned max_bytes);
  bool row(sqlite3_stmt* statement, bool as_object, json_spirit::Value& out);
  // Appends to `out` the compact JSON text of the value row() would build,
  // without building it; false where row() fails or the value has no
  // JSON text. A JSON text column that is strict JSON goes out as stored.
  bool write_row(sqlite3_stmt* statement, bool as_object, std::string& out);
  unsigned max_rows() const { return max_rows_; }

 private:
  // Where each member of a written row comes from, in the order row()'s
  // object holds its members; worked out once per statement.
  struct Member {
    int column;
    int code;
    // What goes before the value: the opening bracket or a comma, and in
    // an object the member's name as JSON text with its colon.
    std::string key;
  };
  // A column's value in the current row.
  struct Cell {
    int type;
    long long integer;
    const char* data;
    std::size_t length;
  };
  int code_of(const char* column) const;
  bool lay_out(sqlite3_stmt* statement, bool as_object);
  bool write_cell(const Member& member, const Cell& cell, std::string& out);

  const Translation* keys_;
  const Translation* values_;
  unsigned max_rows_;
  unsigned long long bytes_left_;
  sqlite3_stmt* laid_out_ = nullptr;
  bool laid_out_as_object_ = false;
  std::vector<Member> members_;
  std::vector<Cell> cells_;
};

// Runs a query and fetches its rows. The mode combines MODE_OBJECTS (a row
// is an object keyed by column name, else an array) and MODE_ALL (fetch
// gives an array of every row, else one row per call).
class Legacy_Cursor {
 public:
  enum Mode { MODE_OBJECTS = 4, MODE_ALL = 8 };

  // `skip`: rows passed over before the first fetched.
  Legacy_Cursor(Connection& connection, const SQL& sql, int mode, unsigned long long skip);
  ~Legacy_Cursor();
  Legacy_Cursor(const Legacy_Cursor&) = delete;
  Legacy_Cursor& operator=(const Legacy_Cursor&) = delete;

  void result_handler(Query_Result_Handler* handler) { handler_ = handler; }
  // False when the query failed (or no row was left, in one-row mode).
  bool fetch(json_spirit::Value& out);

  // Rows one at a time as text, for a reply that streams them: appends
  // the next row's compact JSON text, as fetch shapes its rows in this
  // cursor's mode, to `out`. MODE_ALL's row limit holds over the calls.
  enum Next { ROW, END, FAILED };
  Next write_next(std::string& out);

 private:
  int step();

  Connection& connection_;
  std::string text_;
  sqlite3_stmt* statement_;
  int mode_;
  unsigned long long skip_;
  Query_Result_Handler* handler_ = nullptr;
  // Shapes rows when no handler was given; it keeps what it worked out
  // about the statement from one write_next to the next.
  Query_Result_Handler plain_{nullptr, nullptr, ~0u, ~0u};
  unsigned long long written_ = 0;  // rows write_next gave
};

}  // namespace sql
}  // namespace database

extern template class Service_Instance_T<database::sql::Legacy_Manager>;

#endif
