// Jobs through wagent: created from streamed definitions, listed, moved
// through their states, their run's events queried and deleted; jobs and
// events outlive a restart, and a scheduled job runs its command by itself.
#include <chrono>
#include <thread>

#include "tests/e2e/e2e.h"

namespace {

using namespace e2e;

const char* const control =
    "job.start,job.stop,job.pause,job.resume,job.remove,job.enable,job.disable,job.switch,job.sync";

Value result_of(const std::string& reply) {
  const Value v = parse_json(reply);
  return v.type() == json_spirit::obj_type && v.get_obj().count("result")
             ? v.get_obj().at("result") : Value("no result: " + reply);
}

}  // namespace

TEST(Jobs_E2E, CreateListControlQueryDeleteRestartAndSchedule) {
  wire::Wagent_Process agent(WAGENT_PATH);
  const std::string config =
      listener(agent.dir()) + "session k 1 0xC000000000000000\n" +
      bind("jsonrpc", control, "_make_JSON_RPC_Job_Control_Handler") +
      bind("jsonrpc", "job.list", "_make_Job_List_Handler") +
      bind("params", "job.create", "_make_Job_Definition_Params_Handler_Creator") +
      bind("jsonrpc", "job.event_log.query", "_make_JSON_RPC_Event_Log_Query_Handler") +
      bind("jsonrpc", "job.event_log.delete", "_make_JSON_RPC_Event_Log_Delete_Handler");
  ASSERT_TRUE(agent.start(config)) << agent.stderr_text();
  auto rpc = [&](const std::string& method, const std::string& params) {
    wire::Wire_Client c(agent.host(), agent.port());
    return c.request("POST", "/jsonrpc", call(1, method, params), {{"X-Session-Key", "k"}}).body;
  };
  auto job = [&](const std::string& id) {
    const Value list = result_of(rpc("job.list", R"({"id":")" + id + "\"}"));
    return list.type() == json_spirit::array_type && list.get_array().size() == 1
               ? list.get_array()[0].get_obj() : json_spirit::Object();
  };

  EXPECT_EQ(Value("manual"), result_of(rpc("job.create", R"({"id":"manual","note":{"n":[1]}})")));
  EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":"Internal error, failed to sumbit job."}})",
            rpc("job.create", R"({"id":"manual"})"));
  const Value unnamed = result_of(rpc("job.create", R"({"note":"no id"})"));
  EXPECT_EQ(36u, unnamed.type() == json_spirit::str_type ? unnamed.get_str().size() : 0u);
  EXPECT_EQ(Value("tick"), result_of(rpc("job.create",
      R"({"id":"tick","command":"/bin/sh -c 'exit 3'","schedule":{"interval":1}})")));
  EXPECT_EQ(Value("idle"), job("manual")["state"]);

  for (const char* step : {"job.start", "job.pause", "job.resume"})
    EXPECT_EQ(Value(true), result_of(rpc(step, "\"manual\""))) << step;
  EXPECT_EQ(Value(false), result_of(rpc("job.resume", "\"manual\"")));
  const json_spirit::Object running = job("manual");
  EXPECT_EQ(Value("running"), running.at("state"));
  const std::string instance = running.at("instance_id").get_str();
  EXPECT_EQ(Value(true), result_of(rpc("job.stop", "\"manual\"")));
  EXPECT_EQ(Value(0), job("manual")["code"]);
  const std::string events = R"({"instance_id":")" + instance + "\"}";
  const Value logged = result_of(rpc("job.event_log.query", events));
  ASSERT_EQ(json_spirit::array_type, logged.type()) << json_spirit::JSON_Dump(logged, false);
  std::string trail;
  for (const Value& e : logged.get_array())
    trail += std::to_string(e.get_obj().at("event_id").get_int()) + ":" +
             e.get_obj().at("data").get_obj().at("state").get_str() + " ";
  EXPECT_EQ("1:running 2:paused 3:running 4:ended ", trail);

  // The scheduled job starts by itself and ends with its command's code.
  json_spirit::Object tick;
  for (int i = 0; i < 100 && !tick.count("code"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tick = job("tick");
  }
  EXPECT_EQ(Value(3), tick["code"]) << json_spirit::JSON_Dump(tick, false);

  // A definition that cannot be read is skipped by name; the rest is back.
  std::ofstream(agent.dir() + "/var/jobs/broken.json") << "{";
  ASSERT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
  ASSERT_TRUE(agent.start(config)) << agent.stderr_text();
  EXPECT_NE(std::string::npos, agent.stderr_text().find("broken.json"));
  EXPECT_EQ(Value(json_spirit::Object{{"n", json_spirit::Array{1}}}), job("manual")["note"]);
  EXPECT_EQ(Value("no id"), job(unnamed.get_str())["note"]);
  EXPECT_EQ(logged, result_of(rpc("job.event_log.query", events)));

  EXPECT_EQ(Value(true), result_of(rpc("job.event_log.delete", events)));
  EXPECT_EQ(Value(json_spirit::Array{}), result_of(rpc("job.event_log.query", events)));
  EXPECT_EQ(Value(true), result_of(rpc("job.remove", "\"tick\"")));
  EXPECT_EQ(json_spirit::Object(), job("tick"));
  EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
}
