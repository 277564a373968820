// fs.statfs: params, the byte counts, and a path that cannot be queried.
#include <gtest/gtest.h>

#include "agent/platform/service_instance.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/recording_channel.h"
#include "websvcs/common/fs/statfs_handler.h"

using json_spirit::JSON_Dump;
using json_spirit::Value;

namespace {

// The reply to fs.statfs with `params`.
Value statfs(const Value& params) {
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  JSON_RPC_Request* r = new JSON_RPC_Request;
  r->id = 8;
  r->method = "fs.statfs";
  r->params = params;
  JSON_RPC_Statfs_Handler handler;
  EXPECT_EQ(0, handler.handle_object(JSON_RPC_Channel_WPtr(channel), JSON_RPC_Object_Ptr(r)));
  return rec->pop();
}

}  // namespace

TEST(StatfsTest, StringParamsGiveBytesBeyondThirtyTwoBitsOrFalseWithoutATypeLookup) {
  Fake_Platform platform;
  Scoped_Instance_T<Platform_API> installed(&platform);
  for (const Value& params : {Value(), Value(3), Value(json_spirit::Object()),
                              Value(json_spirit::Array())})
    EXPECT_EQ(R"({"error":{"code":-32602,"message":"Invalid params: params type must )"
              R"(be string"},"id":8,"jsonrpc":"2.0"})", JSON_Dump(statfs(params), false));
  EXPECT_TRUE(platform.calls().empty());
  EXPECT_EQ(R"({"error":{"code":-32602,"message":"Invalid argument"},"id":8,"jsonrpc":"2.0"})",
            JSON_Dump(statfs(std::string("/data\0/../etc", 13)), false));
  platform.disk = FS_Stat{4096, 3000000000ULL, 1000000000ULL};
  EXPECT_EQ(R"({"id":8,"jsonrpc":"2.0","result":{"free":4096000000000,)"
            R"("total":12288000000000,"type":"ext4","used":8192000000000}})",
            JSON_Dump(statfs("/data"), false));
  platform.disk_ok = false;
  EXPECT_EQ(R"({"id":8,"jsonrpc":"2.0","result":false})", JSON_Dump(statfs("/missing"), false));
  EXPECT_EQ((std::vector<std::string>{"disk /data", "fstype /data", "disk /missing"}),
            platform.calls());
}
