#include "agent/job/job_event_log.h"

namespace {

using namespace database::sql;

// The index on instance_log serves both the query of one instance's events
// (in the order they were written) and the cascade when an instance goes.
const char SCHEMA[] =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE IF NOT EXISTS instance(id INTEGER PRIMARY KEY, uuid BLOB(16) "
    "UNIQUE NOT NULL, job_id TEXT, start_time INTEGER);"
    "CREATE TABLE IF NOT EXISTS instance_log(id INTEGER PRIMARY KEY, instance_id "
    "INTEGER NOT NULL REFERENCES instance(id) ON DELETE CASCADE, event_id INTEGER "
    "NOT NULL, event_time INTEGER NOT NULL, data TEXT);"
    "CREATE INDEX IF NOT EXISTS instance_log_instance ON instance_log(instance_id, id);";

const Translation value_translations[] = {
    {"instance_id", 11, VT_UUID},
    {"data", 4, VT_JSON_TEXT},
    {nullptr, 0, 0},
};

}  // namespace

const char Job_Event_Log::DATABASE[] = "job_event_log";

bool Job_Event_Log::open() {
  db_ = Legacy_Manager::instance()->get_connection_r(DATABASE, SCHEMA);
  return is_open();
}

bool Job_Event_Log::append(const Job_Event& e) {
  if (!is_open() && !open()) return false;
  const Binding_Value uuid = Binding_Value::blob(e.instance, sizeof e.instance);
  if (e.opens_instance) {
    Text_SQL instance("INSERT INTO instance(uuid, job_id, start_time) VALUES(:uuid, :job, :time)");
    instance.bind(":uuid", uuid);
    instance.bind(":job", e.job_id);
    instance.bind(":time", static_cast<long long>(e.time));
    db_->execute(instance);
  }
  Text_SQL row(
      "INSERT INTO instance_log(instance_id, event_id, event_time, data) "
      "SELECT id, :event, :time, :data FROM instance WHERE uuid=:uuid");
  row.bind(":event", static_cast<long long>(e.event));
  row.bind(":time", static_cast<long long>(e.time));
  row.bind(":data", e.data);
  row.bind(":uuid", uuid);
  return db_->execute(row);
}

Job_Event_Rows::Job_Event_Rows()
    : handler_(nullptr, value_translations, 4294967295u, 4294967295u) {}

bool Job_Event_Log::select(const Job_Event_Query& q, Select_SQL& sql) {
  sql.join("instance_log", "l", "i.id=l.instance_id").select("event_id,event_time,data");
  Filter_SQL* filter = sql.and_filter();
  if (!filter) return false;
  filter->add_key_uuid_eq_item("i.uuid", q.instance_id);
  if (q.event_id != 0) filter->add_kv_eq_item("event_id", Binding_Value(q.event_id));
  if (q.offset != 0) sql.offset(q.offset);
  if (q.limit > 0) sql.limit(q.limit);
  return true;
}

Job_Event_Log::Query_Status Job_Event_Log::query(const Job_Event_Query& q,
                                                 json_spirit::Value& rows) {
  if (!is_open() && !open()) return QUERY_FAILED;
  Select_SQL sql("instance", "i");
  if (!select(q, sql)) return QUERY_NO_FILTER;
  Legacy_Cursor cursor(*db_, sql, Legacy_Cursor::MODE_OBJECTS | Legacy_Cursor::MODE_ALL, 0);
  Query_Result_Handler handler(nullptr, value_translations, 4294967295u, 4294967295u);
  cursor.result_handler(&handler);
  return cursor.fetch(rows) ? QUERY_DONE : QUERY_FAILED;
}

Job_Event_Log::Query_Status Job_Event_Log::query(const Job_Event_Query& q,
                                                 Job_Event_Rows& rows) {
  if (!is_open() && !open()) return QUERY_FAILED;
  Select_SQL sql("instance", "i");
  if (!select(q, sql)) return QUERY_NO_FILTER;
  rows.cursor_.reset();
  rows.db_ = db_;
  rows.cursor_.emplace(*rows.db_, sql, Legacy_Cursor::MODE_OBJECTS | Legacy_Cursor::MODE_ALL,
                       0);
  rows.cursor_->result_handler(&rows.handler_);
  return QUERY_DONE;
}

bool Job_Event_Log::remove(const std::string& instance_id) {
  if (!is_open() && !open()) return false;
  Delete_SQL sql("instance");
  sql.where("uuid=:instance_id").bind_uuid(":instance_id", instance_id);
  return db_->execute(sql);
}
