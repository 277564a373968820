// host.info: the machine's description, its params rule and failure answers.
#include <gtest/gtest.h>

#include "agent/platform/service_instance.h"
#include "tests/fakes/fake_host_info.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_log.h"
#include "websvcs/common/host/info_handler.h"

using json_spirit::Value;

namespace {

class HostInfoTest : public ::testing::Test {
 protected:
  HostInfoTest() : installed(&info) { info.value = json_spirit::Object{{"nodename", "host1"}}; }
  // Sends host.info with `params` (JSON text, "" for none); the handler's result.
  int handle(const std::string& params, int type = JSON_RPC_Object::JSON_RPC_REQUEST) {
    return handler.handle_object(JSON_RPC_Channel_WPtr(channel),
                                 rpc_message(17, "host.info", params, type));
  }
  std::string reply() { return json_spirit::JSON_Dump(rec->pop(), false); }

  Fake_Host_Info info;
  Scoped_Instance_T<Host_Info_Service> installed;
  JSON_RPC_Host_Info_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  Recording_Log log;
};

}  // namespace

TEST_F(HostInfoTest, AbsentOrNullParamsGetTheHostValueOthersAndFailuresAreErrors) {
  for (const char* params : {"", "null"}) {
    EXPECT_EQ(0, handle(params));
    EXPECT_EQ(R"({"id":17,"jsonrpc":"2.0","result":{"nodename":"host1"}})", reply());
  }
  for (const char* params : {"{}", "[]", "0", "\"x\"", "false"}) {
    handle(params);
    EXPECT_EQ(R"({"error":{"code":-32602,"message":"Invalid params: params type must )"
              R"(be omitted or null"},"id":17,"jsonrpc":"2.0"})", reply()) << params;
  }
  EXPECT_EQ(2, info.calls);
  info.succeed = false;
  handle("");
  EXPECT_EQ(R"({"error":{"code":-32603,"message":"Internal error: failed to get the )"
            R"(name of the current system."},"id":17,"jsonrpc":"2.0"})", reply());
}
