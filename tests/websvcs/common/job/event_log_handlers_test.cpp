// Event-log query and delete against a real job_event_log database filled
// through the job event log: the conditions, offset and limit rules of the
// query, the delete with its cascade, and the params errors.
#include <gtest/gtest.h>

#include "agent/job/job_event_log.h"
#include "agent/text/uuid_text.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/temp_dir.h"
#include "websvcs/common/job/event_log_delete_handler.h"
#include "websvcs/common/job/event_log_query_handler.h"

using json_spirit::Value;
using namespace database::sql;

namespace {

const char A[] = "6f1c2a9e-3b7d-4e5f-8a90-1b2c3d4e5f60";
const char B[] = "00000000-0000-4000-8000-000000000001";

struct No_Database : Legacy_Manager {
  Connection_Ptr get_connection_r(const std::string&, const char*) override {
    return Connection_Ptr();
  }
};

class EventLogTest : public Handler_Test<JSON_RPC_Event_Log_Query_Handler> {
 protected:
  EventLogTest() {
    Legacy_Manager::instance()->set_folder(dir.path());
    // A: events 1,2,1,2,1 at times 100..104; B: two events.
    add_instance(A, {1, 2, 1, 2, 1});
    add_instance(B, {7, 7});
  }
  ~EventLogTest() override { Legacy_Manager::instance()->set_folder("$APPDATA/db"); }

  // The run's first event opens it.
  void add_instance(const char* uuid, std::vector<int> events) {
    Job_Event e{{0}, "j", true, 0, 0, ""};
    ASSERT_TRUE(uuid_string_to_binary(uuid, e.instance));
    for (int id : events) {
      e.event = id;
      e.time = 100 + written;
      e.data = "{\"n\":" + std::to_string(written++) + "}";
      ASSERT_TRUE(log.append(e));
      e.opens_instance = false;
    }
  }
  // The reply to `method` with `params`.
  Value call(JSON_RPC_Thread_Handler& h, const std::string& params) {
    h.handle_object_i(channel, rpc_message(3, "m", params));
    return rec->pop();
  }
  // Rows n given, as the query returns them.
  static Value rows(std::vector<int> ns) {
    std::string text;
    for (int n : ns)  // A's events are 1,2,1,2,1
      text += (text.empty() ? "" : ",") + std::string("{\"event_id\":") +
              std::to_string(n % 2 + 1) + ",\"event_time\":" + std::to_string(100 + n) +
              ",\"data\":{\"n\":" + std::to_string(n) + "}}";
    return parse_json("[" + text + "]");
  }
  static Value result(const Value& v) {
    return json_spirit::Object{{"id", 3}, {"jsonrpc", "2.0"}, {"result", v}};
  }
  static Value error(int code, const char* message) {
    return json_spirit::Object{{"id", 3}, {"jsonrpc", "2.0"},
                               {"error", json_spirit::Object{{"code", code}, {"message", message}}}};
  }

  Temp_Dir dir;
  Job_Event_Log log;
  int written = 0;
  JSON_RPC_Event_Log_Query_Handler& query = handler;
  JSON_RPC_Event_Log_Delete_Handler del;
};

}  // namespace

TEST_F(EventLogTest, QueryNarrowsByEventAndPagesByOffsetAndLimit) {
  const std::string a = std::string("{\"instance_id\":\"") + A + "\"";
  const std::pair<std::string, Value> cases[] = {
      {a + "}", rows({0, 1, 2, 3, 4})},
      {a + ",\"event_id\":1}", rows({0, 2, 4})},
      {a + ",\"event_id\":0,\"offset\":0,\"limit\":0}", rows({0, 1, 2, 3, 4})},
      {a + ",\"limit\":-3}", rows({0, 1, 2, 3, 4})},
      {a + ",\"limit\":2}", rows({0, 1})},
      {a + ",\"offset\":3}", rows({3, 4})},
      {a + ",\"offset\":1,\"limit\":2,\"event_id\":2}", rows({3})},
      {std::string("{\"instance_id\":\"") + B + "\",\"limit\":1}",
       parse_json(R"([{"event_id":7,"event_time":105,"data":{"n":5}}])")},
      {R"({"instance_id":"x' OR 1=1 --"})", json_spirit::Array{}},
  };
  for (const auto& [params, expected] : cases)
    EXPECT_EQ(result(expected), call(query, params)) << params;
  const std::pair<const char*, const char*> errors[] = {
      {"[1]", "Invalid params: params type must be object."},
      {"", "Invalid params: params type must be object."},
      {R"({"limit":2})", "Missing parameter"},
      {R"({"instance_id":1})", "Missing parameter"},
      {R"({"instance_id":"x","limit":"2"})", "Missing parameter"},
  };
  for (const auto& [params, message] : errors)
    EXPECT_EQ(error(-32602, message), call(query, params)) << params;
  // Notifies are not served.
  for (JSON_RPC_Thread_Handler* h : std::vector<JSON_RPC_Thread_Handler*>{&query, &del})
    h->handle_object_i(channel, rpc_message(3, "m", "{}", JSON_RPC_Object::JSON_RPC_NOTIFY));
  EXPECT_EQ(std::size(cases) + std::size(errors), rec->count_sent());
}

TEST_F(EventLogTest, DeleteTakesTheInstanceWithItsEvents) {
  const std::string b = std::string("{\"instance_id\":\"") + B + "\"}";
  EXPECT_EQ(result(true), call(del, b));
  EXPECT_EQ(result(json_spirit::Array{}), call(query, b));
  // An instance that is not there: nothing removed, still no error.
  EXPECT_EQ(result(true), call(del, b));
  // The cascade took B's events (a run written again under its UUID, which
  // reuses its row id, starts empty) and left A's alone.
  add_instance(B, {3});
  EXPECT_EQ(result(parse_json(R"([{"event_id":3,"event_time":107,"data":{"n":7}}])")),
            call(query, b));
  EXPECT_EQ(result(rows({0, 1, 2, 3, 4})),
            call(query, std::string("{\"instance_id\":\"") + A + "\"}"));
  EXPECT_EQ(error(-32602, "Missing 'instance_id'"), call(del, R"({"instance_id":""})"));
  EXPECT_EQ(error(-32602, "Missing 'instance_id'"), call(del, R"({"id":"x"})"));
  EXPECT_EQ(error(-32602, "Invalid params: params type must be object."), call(del, "\"x\""));

  Installed<Legacy_Manager, No_Database> none;
  const Value refused =
      error(-32603, "Internal error: failed to connect to database 'job_event_log'.");
  EXPECT_EQ(refused, call(del, b));
  EXPECT_EQ(refused, call(query, b));
}

// A long run goes out whole and in order, each row's data the value its
// stored text holds however that text is written (nested, spaced, keys out
// of order or twice, numbers spelt any way, no JSON at all); a page of it
// too. A requester gone mid-reply gets no message that looks whole.
TEST_F(EventLogTest, ALongRunGoesOutWithEveryRowsDataAsTheValueItsTextHolds) {
  const char C[] = "11111111-2222-4333-8444-555555555555";
  const std::string data[] = {
      R"({"state":"running","progress":{"done":[1,2,{"deep":[true,null,"\u00e9\n"]}],"of":3}})",
      "{ \"b\" : 1 ,\n \"a\" : [ \"x\\ty\" ] }",
      R"({"k":1,"k":2})",
      "[1.5, -0, 1E3, 12345678901234567890123]",
      "not json", "{\"open\":", "1e999", "",
  };
  Job_Event e{{0}, "j", true, 0, 0, ""};
  ASSERT_TRUE(uuid_string_to_binary(C, e.instance));
  for (int n = 0; n < 3000; ++n) {
    e.event = n % 5 + 1;
    e.time = n;
    e.data = data[n % std::size(data)];
    ASSERT_TRUE(log.append(e));
    e.opens_instance = false;
  }
  const auto expected = [&](std::int64_t offset, std::int64_t limit) {
    Job_Event_Query q;
    q.instance_id = C;
    q.offset = offset;
    q.limit = limit;
    Value rows;
    EXPECT_EQ(Job_Event_Log::QUERY_DONE, log.query(q, rows));
    return rows;
  };
  const std::string c = std::string("{\"instance_id\":\"") + C + "\"";
  const Value all = expected(0, -1);
  ASSERT_EQ(3000u, all.get_array().size());
  EXPECT_EQ(Value("not json"), all.get_array()[4].get_obj().at("data"));
  EXPECT_EQ(result(all), call(query, c + "}"));
  EXPECT_EQ(result(expected(2990, 20)), call(query, c + ",\"offset\":2990,\"limit\":20}"));

  rec->fail_writes_after(1);
  EXPECT_EQ(-1, query.handle_object_i(channel, rpc_message(3, "m", c + "}")));
  EXPECT_EQ(Value(), rec->pop());
}
