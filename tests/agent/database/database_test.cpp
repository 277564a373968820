// The database layer against a real SQLite file: the owner's schema made
// once, values stay data however they look, the two value translations,
// refused names, and a locked database that ends in an error instead of a
// hang.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <iterator>
#include <string>
#include <utility>

#include "agent/database/connection.h"
#include "tests/fakes/json_print.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/temp_dir.h"

using json_spirit::Value;
using namespace database::sql;

namespace {

const char U[] = "6F1C2A9E-3B7D-4E5F-8A90-1B2C3D4E5F60";

// Runs and their events, as a job log keeps them; `made` counts the schema's
// runs.
const char SCHEMA[] =
    "CREATE TABLE IF NOT EXISTS instance(id INTEGER PRIMARY KEY, uuid BLOB(16), job_id TEXT,"
    " start_time INTEGER);"
    "CREATE TABLE IF NOT EXISTS instance_log(id INTEGER PRIMARY KEY, instance_id INTEGER,"
    " event_id INTEGER, event_time INTEGER, data TEXT);"
    "CREATE TABLE IF NOT EXISTS made(n INTEGER); INSERT INTO made VALUES(1);";

class DatabaseTest : public ::testing::Test {
 protected:
  DatabaseTest() {
    manager.set_folder(dir.path());
    db = manager.get_connection_r("runs", SCHEMA);
    for (const char* job : {"a'b", "a%", "ab"}) {
      Text_SQL i("INSERT INTO instance(uuid, job_id, start_time) VALUES(:u, :j, 1)");
      unsigned char bytes[16] = {static_cast<unsigned char>(rows++)};
      i.bind(":u", Binding_Value::blob(bytes, 16));
      i.bind(":j", job);
      EXPECT_TRUE(db->execute(i));
    }
    Text_SQL i("INSERT INTO instance(uuid, job_id) VALUES(:u, 'u')");
    i.bind_uuid(":u", U);
    EXPECT_TRUE(db->execute(i));
    Text_SQL l("INSERT INTO instance_log(instance_id, event_id, event_time, data) VALUES(4, 1, 9, :d)");
    l.bind(":d", R"({"k":[1,"two"]})");
    EXPECT_TRUE(db->execute(l));
    Text_SQL n("INSERT INTO instance_log(instance_id, event_id, event_time, data) VALUES(4, 2, 9, 'no json')");
    EXPECT_TRUE(db->execute(n));
  }
  Value fetch(const SQL& sql, const Translation* values = nullptr) {
    Legacy_Cursor cursor(*db, sql, Legacy_Cursor::MODE_OBJECTS | Legacy_Cursor::MODE_ALL, 0);
    Query_Result_Handler h(nullptr, values, ~0u, ~0u);
    cursor.result_handler(&h);
    Value out;
    return cursor.fetch(out) ? out : Value("failed");
  }

  Temp_Dir dir;
  Legacy_Manager manager;
  Connection_Ptr db;
  int rows = 1;
};

}  // namespace

TEST_F(DatabaseTest, TheSchemaRunsOnceAndNamesOfFilesMustBeIdentifiers) {
  Connection_Ptr again = manager.get_connection_r("runs", SCHEMA);
  ASSERT_TRUE(again.get());
  EXPECT_EQ(parse_json(R"([{"n":1}])"), fetch(Select_SQL("made", nullptr).select("count(*) AS n")));
  EXPECT_FALSE(manager.get_connection_r("../runs", SCHEMA).get());
  EXPECT_FALSE(manager.get_connection_r("broken", "CREATE TABLE (").get());
}

TEST_F(DatabaseTest, BoundValuesStayDataAndNamesMustBeIdentifiers) {
  const struct {
    const char* job;
    const char* expected;
  } cases[] = {{"a'b", R"([{"job_id":"a'b"}])"}, {"a%", R"([{"job_id":"a%"}])"},
               {"a_", "[]"}, {"' OR ''='", "[]"}};
  for (const auto& c : cases) {
    Select_SQL s("instance", nullptr);
    s.select("job_id").and_filter()->add_kv_eq_item("job_id", c.job);
    EXPECT_EQ(parse_json(c.expected), fetch(s)) << c.job;
  }
  Select_SQL s("instance", nullptr);
  EXPECT_FALSE(s.and_filter()->add_kv_eq_item("job_id=job_id OR 1", 1LL));
  EXPECT_EQ(Value("failed"), fetch(s));
  Delete_SQL d("instance; DROP TABLE instance");
  EXPECT_FALSE(db->execute(d));
  EXPECT_EQ(Value(4), fetch(Select_SQL("instance", nullptr).select("count(*) AS n"))
                          .get_array()[0].get_obj().at("n"));
}

TEST_F(DatabaseTest, TranslationsTurnJSONTextAndUUIDBytesIntoValues) {
  const Translation values[] = {{"instance_id", 11, VT_UUID}, {"data", 4, VT_JSON_TEXT}, {}};
  Select_SQL s("instance", "i");
  s.join("instance_log", "l", "i.id=l.instance_id").select("i.uuid AS instance_id,data");
  s.and_filter()->add_key_uuid_eq_item("i.uuid", U);
  EXPECT_EQ(parse_json(R"([{"instance_id":"6f1c2a9e-3b7d-4e5f-8a90-1b2c3d4e5f60","data":{"k":[1,"two"]}},
                           {"instance_id":"6f1c2a9e-3b7d-4e5f-8a90-1b2c3d4e5f60","data":"no json"}])"),
            fetch(s, values));
}

TEST_F(DatabaseTest, ALockedDatabaseIsAnErrorAfterTheBusyTimeout) {
  Recording_Log log;
  manager.set_busy_timeout(200);
  Connection_Ptr waiting = manager.get_connection_r("runs", SCHEMA);
  sqlite3* holder = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((dir / "runs.db").c_str(), &holder));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
  Delete_SQL d("instance");
  d.where("job_id=:j").bind(":j", "ab");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(waiting->execute(d));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(1u, log.count(LM_ERROR, "database is locked"));
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_TRUE(waiting->execute(d));
}

// Rows written out as text one at a time, as a reply streams them, read
// back as the values fetch builds: every kind of column, a JSON text column
// however it is written (kept as stored when it is strict JSON, read
// otherwise, a string when it is no JSON), left-out keys and two columns
// of one name, in both row forms; the limits fail on the same row.
TEST_F(DatabaseTest, RowsWrittenAsTextAreTheValuesFetchBuilds) {
  ASSERT_TRUE(db->execute_text(
      "CREATE TABLE cells(id INTEGER PRIMARY KEY, n INTEGER, r REAL, t TEXT, b BLOB, data TEXT)"));
  const std::string data[] = {
      R"({"z":1,"a":[{"b":null,"c":"\u00e9\/\"","d":{}}],"z":2})",
      " [1, 2.50, 1e2, -0, 12345678901234567890123, true] \n",
      "1e999", "{\"open\":", "", "not json", "\"\\uD800\"", "[1]\f", "\"caf\xc3\xa9\"",
      std::string(101, '[') + std::string(101, ']'),
  };
  long long n = INT64_MIN;
  std::size_t row = 0;
  for (const std::string& d : data) {
    Text_SQL i("INSERT INTO cells(n, r, t, b, data) VALUES(:n, :r, :t, :b, :d)");
    i.bind(":n", n);
    n = n / 3 + 7;
    i.bind(":t", "q\"\\\n\x01");
    const unsigned char bytes[16] = {0x6f, 0x1c, 0x2a, 0x1e, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    i.bind(":b", Binding_Value::blob(bytes, row++ % 2 ? 3 : 16));
    i.bind(":d", d);
    EXPECT_TRUE(db->execute(i));
  }
  ASSERT_TRUE(db->execute_text("UPDATE cells SET r = id * 1.5, t = NULL WHERE id % 3 = 0"));
  const Text_SQL sql("SELECT id, n, t AS n, r, t, b AS instance_id, b, data FROM cells ORDER BY id");
  const Translation keys[] = {{"id", 2, 0}, {}};
  const Translation values[] = {{"instance_id", 11, VT_UUID}, {"data", 4, VT_JSON_TEXT}, {}};

  // What the two ways give with a fresh cursor each; "failed" for a fetch
  // that fails, and a written list ends with "failed" where a row failed.
  const auto fetched = [&](int mode, unsigned max_rows, unsigned max_bytes) {
    Legacy_Cursor cursor(*db, sql, mode, 0);
    Query_Result_Handler h(keys, values, max_rows, max_bytes);
    cursor.result_handler(&h);
    Value out;
    return cursor.fetch(out) ? out : Value("failed");
  };
  const auto written = [&](int mode, unsigned max_rows, unsigned max_bytes) {
    Legacy_Cursor cursor(*db, sql, mode, 0);
    Query_Result_Handler h(keys, values, max_rows, max_bytes);
    cursor.result_handler(&h);
    json_spirit::Array rows;
    std::string text;
    Legacy_Cursor::Next next;
    while ((next = cursor.write_next(text)) == Legacy_Cursor::ROW) {
      rows.push_back(parse_json(text));
      EXPECT_NE(Value(), rows.back()) << text;
      text.clear();
    }
    if (next == Legacy_Cursor::FAILED) rows.push_back(Value("failed"));
    return rows;
  };

  const int all = Legacy_Cursor::MODE_ALL;
  for (int mode : {all | Legacy_Cursor::MODE_OBJECTS, all}) {
    const Value expected = fetched(mode, ~0u, ~0u);
    ASSERT_EQ(json_spirit::array_type, expected.type());
    ASSERT_EQ(std::size(data), expected.get_array().size());
    EXPECT_EQ(expected, Value(written(mode, ~0u, ~0u))) << mode;
  }
  const Value first = fetched(all | Legacy_Cursor::MODE_OBJECTS, ~0u, ~0u).get_array()[0];
  EXPECT_EQ(Value("q\"\\\n\x01"), first.get_obj().at("n"));  // the later of two n columns
  EXPECT_EQ(0u, first.get_obj().count("id"));
  EXPECT_EQ(Value("6f1c2a1e-0102-0304-0506-0708090a0b0c"), first.get_obj().at("instance_id"));

  // Bytes that are no UTF-8 have no JSON text: the row fails (a fetched
  // value holding them could not be sent either).
  Legacy_Cursor raw(*db, Text_SQL("SELECT X'FF' AS v"), all, 0);
  std::string text;
  EXPECT_EQ(Legacy_Cursor::FAILED, raw.write_next(text));

  // One row's text and blobs fit the byte limit, two do not; one row fits
  // the row limit. Both ways fail on the second row.
  const unsigned one_row = 5 + 5 + 16 + 16 + unsigned(data[0].size());
  for (auto [rows, bytes] : {std::pair<unsigned, unsigned>{~0u, one_row}, {1u, ~0u}}) {
    EXPECT_EQ(Value("failed"), fetched(all | Legacy_Cursor::MODE_OBJECTS, rows, bytes));
    const json_spirit::Array w = written(all | Legacy_Cursor::MODE_OBJECTS, rows, bytes);
    ASSERT_EQ(2u, w.size());
    EXPECT_EQ(Value("failed"), w[1]);
  }
}
