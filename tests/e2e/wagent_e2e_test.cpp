// wagent as a user meets it: a real process on an ephemeral loopback port,
// called over real sockets.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "agent/json_spirit/json_spirit.h"
#include "tests/support/upstream_server.h"
#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace {

using json_spirit::Value;

std::string module_line(const std::string& kind, const std::string& name,
                        const std::string& factory) {
  return kind + " " + name + " " + WCOMMON_PATH + ":" + factory + "\n";
}

std::string full_config(const std::string& dir) {
  return "set listen 127.0.0.1:0\n"
         "set appdata " + dir + "/var\n"
         "set clock dry-run\n"
         "set http.body_limit 65536\n"
         "session k1 alice 0xC000000000000000\n" +
         module_line("jsonrpc", "host.info", "_make_JSON_RPC_Host_Info_Handler") +
         module_line("jsonrpc", "host.test", "_make_JSON_RPC_Host_Test_Handler") +
         module_line("jsonrpc", "fs.list", "_make_JSON_RPC_FS_List_Handler") +
         module_line("jsonrpc", "fs.statfs", "_make_JSON_RPC_Statfs_Handler") +
         module_line("rest", "/api/host/date",
                     "_make_JSON_RESTful_Host_Date_Handler_Creator") +
         module_line("http", "/debug/headers",
                     "_make_HTTP_Headers_Echo_Handler_Creator");
}

Value parse(const std::string& text) {
  Value v;
  EXPECT_TRUE(json_spirit::read(text, v)) << text;
  return v;
}

std::int64_t code_of(const Value& reply) {
  return reply.get_obj().at("error").get_obj().at("code").get_int64();
}

std::string call(std::int64_t id, const std::string& method,
                 const std::string& params = "") {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) +
         ",\"method\":\"" + method + "\"" +
         (params.empty() ? "" : ",\"params\":" + params) + "}";
}

class Wagent : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(agent.start(full_config(agent.dir()))) << agent.stderr_text(); }
  void TearDown() override { EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text(); }

  Value post(const std::string& body) {
    wire::Wire_Client c(agent.host(), agent.port());
    wire::Http_Response r =
        c.request("POST", "/jsonrpc", body, {{"X-Session-Key", "k1"}});
    EXPECT_EQ(200, r.status) << r.error << r.body;
    return parse(r.body);
  }

  wire::Wagent_Process agent{WAGENT_PATH};
};

TEST_F(Wagent, AnswersJsonRpcOverPost) {
  Value info = post(call(1, "host.info"));
  EXPECT_EQ(1, info.get_obj().at("id").get_int64());
  EXPECT_TRUE(info.get_obj().at("result").get_obj().count("nodename"));
  // Every bound method reaches its handler.
  for (const auto& [method, params] : {std::pair{"host.test", "0"}, {"fs.list", "{}"},
                                       {"fs.statfs", "\"/\""}})
    EXPECT_TRUE(post(call(2, method, params)).get_obj().count("result")) << method;
  // Bad input is answered as JSON-RPC over a plain 200.
  EXPECT_EQ(-32700, code_of(post("not json")));
  EXPECT_EQ(-32601, code_of(post(call(7, "no.such"))));

  // A notify gets no reply object: the exchange ends empty once its work is
  // done, the worker thread's included, and the connection stays usable.
  wire::Wire_Client c(agent.host(), agent.port());
  wire::Http_Response r =
      c.request("POST", "/jsonrpc", "{\"jsonrpc\":\"2.0\",\"method\":\"host.test\",\"params\":0}");
  EXPECT_EQ(204, r.status);
  EXPECT_EQ("", r.body);
  EXPECT_EQ(200, c.request("POST", "/jsonrpc", call(3, "host.info")).status);
  EXPECT_EQ(1u, c.connections_opened());

  EXPECT_EQ(405, c.request("GET", "/jsonrpc").status);
  EXPECT_EQ(404, c.request("GET", "/nowhere").status);
  // Past the body limit: refused whole, the connection closed.
  wire::Http_Response big = c.request("POST", "/jsonrpc", std::string(70000, ' '));
  EXPECT_EQ(413, big.status);
  EXPECT_FALSE(big.keep_alive);
}

TEST_F(Wagent, AnswersJsonRpcOverWebSocket) {
  wire::Wire_Client c(agent.host(), agent.port());
  ASSERT_TRUE(c.ws_connect("/jsonrpc?session=k1")) << c.last_error();

  // A slow call and a quick one: the quick answer comes first, and ids tell
  // them apart.
  ASSERT_TRUE(c.ws_send(call(10, "host.test", "1")));
  ASSERT_TRUE(c.ws_send(call(11, "host.info")));
  auto first = c.ws_receive(std::chrono::seconds(5));
  auto second = c.ws_receive(std::chrono::seconds(5));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(11, parse(*first).get_obj().at("id").get_int64());
  EXPECT_EQ(10, parse(*second).get_obj().at("id").get_int64());

  // A notify is never answered; a call of no method is.
  ASSERT_TRUE(c.ws_send("{\"jsonrpc\":\"2.0\",\"method\":\"host.info\"}"));
  ASSERT_TRUE(c.ws_send(call(12, "no.such")));
  auto error = c.ws_receive(std::chrono::seconds(5));
  ASSERT_TRUE(error);
  EXPECT_EQ(-32601, code_of(parse(*error)));
  EXPECT_FALSE(c.ws_receive(std::chrono::milliseconds(300)));
  EXPECT_TRUE(c.ws_close());
}

TEST_F(Wagent, StreamsALargeListingInPieces) {
  std::string dir = agent.dir() + "/many";
  ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
  const int files = 5000;
  for (int i = 0; i < files; ++i)
    std::ofstream(dir + "/file-with-a-long-name-" + std::to_string(i));

  wire::Wire_Client c(agent.host(), agent.port());
  wire::Http_Response r =
      c.request("POST", "/jsonrpc", call(20, "fs.list", "{\"path\":\"" + dir + "\"}"),
                {{"X-Session-Key", "k1"}});
  ASSERT_EQ(200, r.status);
  EXPECT_TRUE(r.chunked);
  EXPECT_GT(r.chunk_count, 2u);
  EXPECT_EQ(std::size_t{files}, parse(r.body).get_obj().at("result").get_array().size());

  ASSERT_TRUE(c.ws_connect("/jsonrpc?session=k1"));
  ASSERT_TRUE(c.ws_send(call(21, "fs.list", "{\"path\":\"" + dir + "\"}")));
  auto message = c.ws_receive(std::chrono::seconds(10));
  ASSERT_TRUE(message);
  EXPECT_GT(c.ws_last_frame_count(), 2u);
  EXPECT_EQ(std::size_t{files}, parse(*message).get_obj().at("result").get_array().size());
}

TEST_F(Wagent, ServesTheClockEndpoint) {
  wire::Wire_Client c(agent.host(), agent.port());
  const wire::Header_List session = {{"X-Session-Key", "k1"}};

  EXPECT_EQ(401, c.request("GET", "/api/host/date").status);
  EXPECT_EQ(401, c.request("GET", "/api/host/date", "", {{"X-Session-Key", "wrong"}}).status);
  wire::Http_Response r = c.request("GET", "/api/host/date", "", session);
  ASSERT_EQ(200, r.status);
  EXPECT_EQ(19u, parse(r.body).get_obj().at("date").get_str().size());

  // In dry-run the change is recorded, never made; the event names the
  // forwarded address and the session's user.
  r = c.request("POST", "/api/host/date", "{\"date\":\"2024-03-05T14:07:09Z\"}",
                {{"X-Session-Key", "k1"}, {"X-Forwarded-For", "10.1.2.3, 127.0.0.1"}});
  EXPECT_EQ(204, r.status);
  EXPECT_EQ("", r.body);
  std::ifstream audit(agent.dir() + "/var/audit/events.jsonl");
  Value event;  // the clock change's; the dry run adds an event of its own
  for (std::string line; std::getline(audit, line);)
    if (line.find("\"0x205000000010005\"") != std::string::npos) event = parse(line);
  ASSERT_EQ(json_spirit::obj_type, event.type());
  EXPECT_TRUE(event.get_obj().at("succeeded").get_bool());
  EXPECT_EQ("10.1.2.3", event.get_obj().at("address").get_str());
  EXPECT_EQ("alice", event.get_obj().at("user").get_str());
}

TEST_F(Wagent, EchoesRequestHeaders) {
  wire::Wire_Client c(agent.host(), agent.port());
  wire::Http_Response r =
      c.request("GET", "/debug/headers", "", {{"X-Trace", "42"}, {"user-agent", "probe"}});
  ASSERT_EQ(200, r.status);
  EXPECT_EQ("application/json", r.headers["Content-Type"]);
  Value echoed = parse(r.body);
  EXPECT_EQ("42", echoed.get_obj().at("X-Trace").get_str());
  EXPECT_EQ("probe", echoed.get_obj().at("User-Agent").get_str());  // the framework's spelling
  EXPECT_EQ(405, c.request("POST", "/debug/headers", "{}").status);
  EXPECT_EQ(405, c.request("HEAD", "/debug/headers").status);
}

// Starts of its own.
TEST(Wagent_Start, RefusesABadConfigurationBeforeListening) {
  wire::Wagent_Process agent(WAGENT_PATH);
  struct Case {
    std::string config;
    std::string message;
  } cases[] = {
      {"set listen 127.0.0.1:0\n" +
           module_line("jsonrpc", "host.info", "_make_No_Such_Handler"),
       "wagent.conf:2: library '" + std::string(WCOMMON_PATH) +
           "' has no factory '_make_No_Such_Handler'"},
      {"set listen 127.0.0.1:0\njsonrpc host.info /nowhere/libx.so:_make_X\n",
       "wagent.conf:2: cannot load library '/nowhere/libx.so'"},
      {"set listen 127.0.0.1:0\n" +
           module_line("jsonrpc", "host.info", "_make_JSON_RPC_Host_Info_Handler") +
           module_line("jsonrpc", "host.info", "_make_JSON_RPC_Host_Test_Handler"),
       "wagent.conf:3: a method or path of this line is already bound"},
      {"set listen 127.0.0.1:0\nset upstream http://127.0.0.1:1/\n",
       "wagent.conf:2: setting 'upstream' must be a ws:// or wss:// URL"},
      {"set listen localhost:http\n",
       "wagent.conf:1: setting 'listen' must be a numeric address and port"},
  };
  for (const Case& c : cases) {
    wire::Run_Result r = agent.run_to_exit(c.config);
    EXPECT_EQ(1, r.status) << r.stderr_text;
    EXPECT_NE(std::string::npos, r.stderr_text.find(c.message)) << r.stderr_text;
    EXPECT_EQ(std::string::npos, r.stderr_text.find("listening")) << r.stderr_text;
  }
  wire::Run_Result usage = agent.run_to_exit("", {"-s", "nonsense"});
  EXPECT_EQ(1, usage.status) << usage.stderr_text;
}

TEST(Wagent_Start, StopsCleanlyAfterRequestsInFlight) {
  wire::Wagent_Process agent(WAGENT_PATH);
  // -s sends the log to a file; it ends with the stop.
  const std::string log = agent.dir() + "/agent.log";
  ASSERT_TRUE(agent.start(full_config(agent.dir()), {"-s", "log=" + log})) << agent.stderr_text();
  wire::Wire_Client c(agent.host(), agent.port());
  ASSERT_TRUE(c.send_request("POST", "/jsonrpc", call(1, "host.test", "1")));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(agent.send_signal(SIGTERM));
  wire::Http_Response r = c.read_response();
  EXPECT_EQ(200, r.status);  // the call in flight still got its answer
  EXPECT_EQ(0, agent.stop(SIGTERM));
  std::stringstream text;
  text << std::ifstream(log).rdbuf();
  EXPECT_NE(std::string::npos, text.str().find("stopped")) << text.str();
}

// The agent dials out to its management server, serves calls arriving
// there, and dials again when the server drops it.
TEST(Wagent_Upstream, ServesTheManagementServerAndReconnects) {
  wire::Upstream_Server server;
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(full_config(agent.dir()) +
                          "set upstream ws://127.0.0.1:" +
                          std::to_string(server.port()) + "/agent\n"))
      << agent.stderr_text();
  ASSERT_TRUE(server.wait_connections(1, std::chrono::seconds(5)))
      << agent.stderr_text();
  ASSERT_TRUE(server.send(call(1, "host.info")));
  auto reply = server.receive(std::chrono::seconds(5));
  ASSERT_TRUE(reply);
  EXPECT_EQ(1, parse(*reply).get_obj().at("id").get_int64());

  server.drop();
  ASSERT_TRUE(server.wait_connections(2, std::chrono::seconds(10)))
      << agent.stderr_text();
  ASSERT_TRUE(server.send(call(2, "no.such")));
  reply = server.receive(std::chrono::seconds(5));
  ASSERT_TRUE(reply);
  EXPECT_EQ(-32601, code_of(parse(*reply)));
  EXPECT_EQ(0, agent.stop(SIGTERM)) << agent.stderr_text();
}

}  // namespace
