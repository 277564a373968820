// host.test: the wait it takes from params and its reply. Waiting on a
// worker and a requester that leaves meanwhile are seen end to end.
#include <gtest/gtest.h>

#include <climits>

#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_log.h"
#include "websvcs/common/host/host_test_handler.h"

using json_spirit::Value;

namespace {

const char* const OK = R"({"id":"t","jsonrpc":"2.0","result":"OK"})";

class HostTest : public ::testing::Test {
 protected:
  // Hands host.test with `params` to the handler in this thread.
  int handle(const Value& params, int type = JSON_RPC_Object::JSON_RPC_REQUEST) {
    JSON_RPC_Request* r = new JSON_RPC_Request(type);
    r->id = "t";
    r->method = "host.test";
    r->params = params;
    return handler.handle_object_i(JSON_RPC_Channel_WPtr(channel), JSON_RPC_Object_Ptr(r));
  }

  Recording_Log log;
  JSON_RPC_Host_Test_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
};

}  // namespace

TEST(HostTestWait, IntegersAreSecondsNegativesNoneAndOtherKindsTwoMinutes) {
  const auto wait = &JSON_RPC_Host_Test_Handler::wait_seconds;
  EXPECT_EQ((std::vector<unsigned>{5, 0, 0, 0, UINT_MAX, 120, 120, 120, 120, 120, 120}),
            (std::vector<unsigned>{wait(5), wait(0), wait(-1), wait(INT64_MIN), wait(INT64_MAX),
                                   wait(Value("5")), wait(Value(5.5)), wait(json_spirit::Array()),
                                   wait(json_spirit::Object()), wait(Value()), wait(Value(true))}));
}

TEST_F(HostTest, NotifyIsRefusedAndZeroAnswersOkAtOnceAfterTheDoneLine) {
  EXPECT_EQ(-1, handle(0, JSON_RPC_Object::JSON_RPC_NOTIFY));
  EXPECT_EQ(1u, log.count(LM_EMERGENCY, "obj is not JSON-RPC request!"));
  EXPECT_EQ(0u, rec->count_sent());
  EXPECT_EQ(0, handle(0));
  EXPECT_EQ(OK, json_spirit::JSON_Dump(rec->pop(), false));
  EXPECT_TRUE(log.has(LM_INFO, "host.test is done.\n"));
}
