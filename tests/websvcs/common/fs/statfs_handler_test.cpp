// fs.statfs: params, the byte counts, and a path that cannot be queried.
#include <gtest/gtest.h>

#include "agent/mdrt/service_instance.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/recording_channel.h"
#include "websvcs/common/fs/statfs_handler.h"

using json_spirit::Value;

namespace {

Value statfs(const Value& params) {
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  JSON_RPC_Request* r = new JSON_RPC_Request;
  r->id = 8;
  r->method = "fs.statfs";
  r->params = params;
  JSON_RPC_Statfs_Handler handler;
  EXPECT_EQ(0, handler.handle_object(JSON_RPC_Channel_WPtr(channel),
                                     JSON_RPC_Object_Ptr(r)));
  return rec->pop();
}

class StatfsTest : public ::testing::Test {
 protected:
  StatfsTest() : installed(&platform) {}
  Fake_Platform platform;
  Scoped_Instance_T<Platform_API> installed;
};

}  // namespace

TEST_F(StatfsTest, ParamsMustBeAString) {
  for (const Value& params : {Value(), Value(3), Value(json_spirit::Object()),
                              Value(json_spirit::Array())}) {
    Value reply = statfs(params);
    const auto& error = reply.get_obj().at("error").get_obj();
    EXPECT_EQ(Value(-32602), error.at("code"));
    EXPECT_EQ(Value("Invalid params: params type must be string"), error.at("message"));
  }
  EXPECT_TRUE(platform.calls().empty());
}

TEST_F(StatfsTest, ReportsBytesBeyondThirtyTwoBits) {
  platform.disk = FS_Stat{4096, 3000000000ULL, 1000000000ULL};
  Value reply = statfs("/data");
  Value expected;
  json_spirit::read(R"({"total":12288000000000,"free":4096000000000,
                        "used":8192000000000,"type":"ext4"})", expected);
  EXPECT_EQ(expected, reply.get_obj().at("result"));
  EXPECT_EQ(Value(8), reply.get_obj().at("id"));
  EXPECT_EQ((std::vector<std::string>{"disk /data", "fstype /data"}), platform.calls());
}

TEST_F(StatfsTest, UnqueryablePathIsFalseWithoutTypeLookup) {
  platform.disk_ok = false;
  EXPECT_EQ(Value(false), statfs("/missing").get_obj().at("result"));
  EXPECT_EQ((std::vector<std::string>{"disk /missing"}), platform.calls());
}

TEST(StatfsSystem, RootOfThisMachine) {
  Value reply = statfs("/");
  const auto& result = reply.get_obj().at("result").get_obj();
  EXPECT_GT(result.at("total").get_int64(), 0);
  EXPECT_EQ(result.at("total").get_int64() - result.at("free").get_int64(),
            result.at("used").get_int64());
  EXPECT_FALSE(result.at("type").get_str().empty());
  EXPECT_EQ(Value(false), statfs("/no/such/path").get_obj().at("result"));
}
