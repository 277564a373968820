// What a local process without a session can do on wagent's listener: call
// the open methods, and nothing else; and what it gets for text that is not
// UTF-8.
#include <gtest/gtest.h>

#include "agent/json_spirit/json_spirit.h"
#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace {

using json_spirit::Value;

std::string config(const std::string& dir) {
  const std::string module = std::string(" ") + WCOMMON_PATH + ":";
  return "set listen 127.0.0.1:0\n"
         "set appdata " + dir + "/var\n"
         "session k1 alice 0xC000000000000000\n"
         "jsonrpc host.info" + module + "_make_JSON_RPC_Host_Info_Handler\n"
         "jsonrpc fs.statfs" + module + "_make_JSON_RPC_Statfs_Handler\n";
}

const std::string info = R"({"jsonrpc":"2.0","id":1,"method":"host.info"})";
const std::string statfs = R"({"jsonrpc":"2.0","id":2,"method":"fs.statfs","params":"/"})";

// The error code of a reply, or 0 when it carries a result.
int code_of(const std::string& reply, Value* id = nullptr) {
  Value v;
  EXPECT_TRUE(json_spirit::read(reply, v)) << reply;
  if (v.type() != json_spirit::obj_type) return -1;
  if (id) *id = v.get_obj().at("id");
  if (v.get_obj().count("result")) return 0;
  const json_spirit::Object& e = v.get_obj().at("error").get_obj();
  if (e.at("code").get_int() == -32603) {
    EXPECT_EQ("Unauthenticated.", e.at("message").get_str());
  }
  return e.at("code").get_int();
}

// The code of the reply to `body` over POST and over a fresh WebSocket,
// with the session key `key` ("" for none); each must agree.
int call(const wire::Wagent_Process& agent, const std::string& body,
         const std::string& key) {
  wire::Wire_Client c(agent.host(), agent.port());
  wire::Header_List headers;
  if (!key.empty()) headers.emplace_back("X-Session-Key", key);
  wire::Http_Response r = c.request("POST", "/jsonrpc", body, headers);
  EXPECT_EQ(200, r.status) << r.body;
  Value post_id;
  const int code = code_of(r.body, &post_id);
  EXPECT_TRUE(c.ws_connect(key.empty() ? "/jsonrpc" : "/jsonrpc?session=" + key))
      << c.last_error();
  EXPECT_TRUE(c.ws_send(body));
  auto message = c.ws_receive(std::chrono::seconds(5));
  EXPECT_TRUE(message) << body;
  Value ws_id;
  EXPECT_EQ(code, message ? code_of(*message, &ws_id) : -1) << body;
  EXPECT_EQ(post_id, ws_id) << body;
  return code;
}

TEST(Access_Rule, ClosedMethodsNeedASessionOnTheListener) {
  wire::Wagent_Process agent(WAGENT_PATH);
  ASSERT_TRUE(agent.start(config(agent.dir()))) << agent.stderr_text();
  EXPECT_EQ(0, call(agent, info, ""));  // open by default
  EXPECT_EQ(-32603, call(agent, statfs, ""));
  EXPECT_EQ(-32603, call(agent, statfs, "wrong"));
  EXPECT_EQ(0, call(agent, statfs, "k1"));

  // Text that is not UTF-8 is not JSON, with or without a session.
  wire::Wire_Client c(agent.host(), agent.port());
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
    wire::Http_Response r = c.request(
        "POST", "/jsonrpc",
        R"({"jsonrpc":"2.0","id":3,"method":"host.info","params":")" +
            std::string(bad) + "\"}");
    EXPECT_EQ(-32700, code_of(r.body)) << r.body;
  }
  EXPECT_EQ(0, agent.stop());

  ASSERT_TRUE(agent.start(config(agent.dir()), {"-s", "jsonrpc.open=*"}))
      << agent.stderr_text();
  EXPECT_NE(std::string::npos, agent.stderr_text().find("jsonrpc.open is *"));
  EXPECT_EQ(0, call(agent, statfs, ""));
  EXPECT_EQ(0, agent.stop());

  wire::Run_Result bad = agent.run_to_exit(config(agent.dir()) +
                                           "set jsonrpc.open host.info,,fs.statfs\n");
  EXPECT_EQ(1, bad.status);
  EXPECT_NE(std::string::npos,
            bad.stderr_text.find("wagent.conf:6: setting 'jsonrpc.open'"))
      << bad.stderr_text;
}

}  // namespace
