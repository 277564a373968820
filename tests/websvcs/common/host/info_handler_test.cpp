// host.info: the machine's description, its params rule and failure answers.
#include <gtest/gtest.h>

#include "agent/mdrt/service_instance.h"
#include "tests/fakes/fake_host_info.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_log.h"
#include "websvcs/common/host/info_handler.h"

using json_spirit::Value;

namespace {

JSON_RPC_Object_Ptr message(const std::string& params_json,
                            int type = JSON_RPC_Object::JSON_RPC_REQUEST) {
  JSON_RPC_Request* r = new JSON_RPC_Request(type);
  r->id = 17;
  r->method = "host.info";
  if (!params_json.empty()) json_spirit::read(params_json, r->params);
  return JSON_RPC_Object_Ptr(r);
}

class HostInfoTest : public ::testing::Test {
 protected:
  HostInfoTest() : installed(&info) {
    json_spirit::read(R"({"nodename":"host1","os":"Test OS"})", info.value);
    channel = Recording_Channel::make(&rec);
  }
  int handle(const JSON_RPC_Object_Ptr& object) {
    return handler.handle_object(JSON_RPC_Channel_WPtr(channel), object);
  }
  Value error_of(const Value& reply) {
    return reply.get_obj().at("error");
  }

  Fake_Host_Info info;
  Scoped_Instance_T<Host_Info_Service> installed;
  JSON_RPC_Host_Info_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel;
};

}  // namespace

TEST_F(HostInfoTest, AnswersWithTheHostValueForAbsentOrNullParams) {
  for (const char* params : {"", "null"}) {
    channel = Recording_Channel::make(&rec);
    EXPECT_EQ(0, handle(message(params)));
    Value reply = rec->pop();
    EXPECT_EQ(Value(17), reply.get_obj().at("id"));
    EXPECT_EQ(info.value, reply.get_obj().at("result"));
  }
}

TEST_F(HostInfoTest, AnyOtherParamsAreRefused) {
  for (const char* params : {"{}", "[]", "0", "\"x\"", "false"}) {
    channel = Recording_Channel::make(&rec);
    handle(message(params));
    Value error = error_of(rec->pop());
    EXPECT_EQ(Value(-32602), error.get_obj().at("code")) << params;
    EXPECT_EQ(Value("Invalid params: params type must be omitted or null"),
              error.get_obj().at("message"));
  }
  EXPECT_EQ(0, info.calls);
}

TEST_F(HostInfoTest, FailingHostInformationIsAnInternalError) {
  info.succeed = false;
  handle(message(""));
  Value reply = rec->pop();
  EXPECT_EQ(Value(17), reply.get_obj().at("id"));
  EXPECT_EQ(Value(-32603), error_of(reply).get_obj().at("code"));
  EXPECT_EQ(Value("Internal error: failed to get the name of the current system."),
            error_of(reply).get_obj().at("message"));
}

TEST_F(HostInfoTest, NotifyIsRefusedWithAnEmergencyLineAndNoReply) {
  Recording_Log log;
  EXPECT_EQ(-1, handle(message("", JSON_RPC_Object::JSON_RPC_NOTIFY)));
  EXPECT_EQ(0u, rec->count_sent());
  EXPECT_EQ(1u, log.count(LM_EMERGENCY,
                          "Unexpected error in websvcs/common/host/info_handler.cpp:"));
  EXPECT_EQ(1u, log.count(LM_EMERGENCY, ", obj is not JSON-RPC request!\n"));
}

TEST_F(HostInfoTest, GoneRequesterIsLoggedAndNothingIsAsked) {
  Recording_Log log;
  JSON_RPC_Channel_WPtr weak(channel);
  channel = JSON_RPC_Channel_Ptr();
  EXPECT_EQ(-1, handler.handle_object(weak, message("")));
  EXPECT_TRUE(log.has(LM_ERROR,
                      "Abort handling JSON-RPC request, requester has gone.\n"));
  EXPECT_EQ(0, info.calls);
}

TEST(SystemHostInfo, DescribesThisMachine) {
  Value v;
  ASSERT_TRUE(host_info(v));
  const std::string* node = json_spirit::object_get_str(v, "nodename");
  ASSERT_NE(nullptr, node);
  EXPECT_FALSE(node->empty());
  EXPECT_NE(nullptr, json_spirit::object_get_str(v, "sysname"));
}
