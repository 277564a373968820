// fs.statfs: params, the byte counts, and a path that cannot be queried.
#include <gtest/gtest.h>

#include "tests/fakes/fake_platform.h"
#include "tests/fakes/recording_channel.h"
#include "websvcs/common/fs/statfs_handler.h"

class StatfsTest : public Handler_Test<JSON_RPC_Statfs_Handler> {
 protected:
  // The reply to fs.statfs with `params` (JSON text, "" for none), as text.
  std::string statfs(const std::string& params) {
    send(8, "fs.statfs", params);
    return reply();
  }

  Installed<Platform_API, Fake_Platform> platform;
};

TEST_F(StatfsTest, StringParamsGiveBytesBeyondThirtyTwoBitsOrFalseWithoutATypeLookup) {
  for (const char* params : {"", "3", "{}", "[]"})
    EXPECT_EQ(R"({"error":{"code":-32602,"message":"Invalid params: params type must )"
              R"(be string"},"id":8,"jsonrpc":"2.0"})", statfs(params));
  EXPECT_EQ(R"({"error":{"code":-32602,"message":"Invalid argument"},"id":8,"jsonrpc":"2.0"})",
            statfs(R"("/data\u0000/../etc")"));
  platform.disk = FS_Stat{4096, 3000000000ULL, 1000000000ULL};
  EXPECT_EQ(R"({"id":8,"jsonrpc":"2.0","result":{"free":4096000000000,)"
            R"("total":12288000000000,"type":"ext4","used":8192000000000}})",
            statfs(R"("/data")"));
  platform.disk_ok = false;
  EXPECT_EQ(R"({"id":8,"jsonrpc":"2.0","result":false})", statfs(R"("/missing")"));
  EXPECT_EQ((std::vector<std::string>{"disk /data", "fstype /data", "disk /missing"}),
            platform.calls());
}
