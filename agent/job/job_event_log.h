// The log of job runs in the job_event_log database: one row of `instance`
// per run, one row of `instance_log` per transition of it. The tables, the
// rows written and the statements that read and delete them are all here.
#ifndef JOB_JOB_EVENT_LOG_H
#define JOB_JOB_EVENT_LOG_H

#include <cstdint>
#include <optional>
#include <string>

#include "agent/database/connection.h"
#include "agent/json_spirit/json_spirit.h"

// Event ids of a run's log.
enum Job_Event_Id {
  JOB_EVENT_STARTED = 1,
  JOB_EVENT_PAUSED = 2,
  JOB_EVENT_RESUMED = 3,
  JOB_EVENT_STOPPED = 4,
  JOB_EVENT_ENDED = 5,
};

// One transition of a run.
struct Job_Event {
  unsigned char instance[16];  // the run's UUID
  std::string job_id;
  bool opens_instance;  // the run's first event: its row is written first
  int event;
  std::int64_t time;  // POSIX seconds
  std::string data;   // JSON text
};

// Which events of a run a query returns.
struct Job_Event_Query {
  std::string instance_id;  // the run's UUID text
  std::int64_t event_id = 0;  // 0: every event
  std::int64_t offset = 0;    // rows passed over first
  std::int64_t limit = -1;    // at most this many; every row when not above 0
};

// The rows of one query, read one at a time as they are written out. It
// holds the connection it reads from while it lasts.
class Job_Event_Rows {
 public:
  typedef database::sql::Legacy_Cursor::Next Next;
  Job_Event_Rows();
  // Appends the next row's compact JSON text, the row query() would give,
  // to `out`.
  Next next(std::string& out) {
    return cursor_ ? cursor_->write_next(out) : database::sql::Legacy_Cursor::FAILED;
  }

 private:
  friend class Job_Event_Log;
  database::sql::Connection_Ptr db_;
  database::sql::Query_Result_Handler handler_;
  std::optional<database::sql::Legacy_Cursor> cursor_;
};

// One connection of its own: each thread uses a log of its own.
class Job_Event_Log {
 public:
  enum Query_Status { QUERY_DONE, QUERY_NO_FILTER, QUERY_FAILED };

  static const char DATABASE[];  // "job_event_log"

  // Connects; false (logged) when the database cannot be opened.
  bool open();
  bool is_open() const { return db_.get() != nullptr; }

  // Each of these connects first when not yet connected.
  // Writes `event`; false (logged) when it cannot be written.
  bool append(const Job_Event& event);
  // Into `rows`, in the order they were written: {"event_id",
  // "event_time", "data"} of the events `query` names, "data" as the value
  // its text holds.
  Query_Status query(const Job_Event_Query& query, json_spirit::Value& rows);
  // The same rows, to be read one by one from `rows`; QUERY_DONE means
  // the statement is under way (a failure may still come with a row).
  Query_Status query(const Job_Event_Query& query, Job_Event_Rows& rows);
  // Removes the run and its events; true also when there was no such run.
  bool remove(const std::string& instance_id);

 private:
  // The statement of `query`; false when its filter cannot be made.
  static bool select(const Job_Event_Query& query, database::sql::Select_SQL& sql);

  database::sql::Connection_Ptr db_;
};

#endif
