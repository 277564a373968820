// host.info: the machine's description, its params rule and failure answers.
#include <gtest/gtest.h>

#include "tests/fakes/fake_host_info.h"
#include "tests/fakes/recording_channel.h"
#include "websvcs/common/host/info_handler.h"

namespace {

class HostInfoTest : public Handler_Test<JSON_RPC_Host_Info_Handler> {
 protected:
  HostInfoTest() { info.value = json_spirit::Object{{"nodename", "host1"}}; }
  int handle(const std::string& params) { return send(17, "host.info", params); }

  Installed<Host_Info_Service, Fake_Host_Info> info;
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
