// host.test: the wait it takes from params, its reply, and what it does when
// the requester leaves.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>

#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_log.h"
#include "websvcs/common/host/host_test_handler.h"

using json_spirit::Value;
using namespace std::chrono;

namespace {

const char* const OK = R"({"id":"t","jsonrpc":"2.0","result":"OK"})";

class HostTest : public ::testing::Test {
 protected:
  // Hands host.test with `params` to the handler, on a worker (handle_object)
  // or in this thread (handle_object_i).
  int handle(const Value& params, bool on_worker,
             int type = JSON_RPC_Object::JSON_RPC_REQUEST) {
    JSON_RPC_Request* r = new JSON_RPC_Request(type);
    r->id = "t";
    r->method = "host.test";
    r->params = params;
    JSON_RPC_Channel_WPtr weak(channel);
    return on_worker ? handler.handle_object(weak, JSON_RPC_Object_Ptr(r))
                     : handler.handle_object_i(weak, JSON_RPC_Object_Ptr(r));
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
  EXPECT_EQ(-1, handle(0, false, JSON_RPC_Object::JSON_RPC_NOTIFY));
  EXPECT_EQ(1u, log.count(LM_EMERGENCY, "obj is not JSON-RPC request!"));
  EXPECT_EQ(0u, rec->count_sent());
  EXPECT_EQ(0, handle(0, false));
  EXPECT_EQ(OK, json_spirit::JSON_Dump(rec->pop(), false));
  EXPECT_TRUE(log.has(LM_INFO, "host.test is done.\n"));
}

TEST_F(HostTest, WaitsOnAWorkerWithoutHoldingUpDelivery) {
  auto start = steady_clock::now();
  EXPECT_EQ(0, handle(1, true));
  EXPECT_LT(steady_clock::now() - start, milliseconds(500));
  ASSERT_TRUE(rec->wait_for_sent(1, seconds(5)));
  EXPECT_GE(steady_clock::now() - start, milliseconds(950));
  EXPECT_EQ(OK, json_spirit::JSON_Dump(rec->pop(), false));
  ASSERT_TRUE(json_rpc::drain_workers(nullptr));
}

TEST_F(HostTest, RequesterLeavingDuringTheWaitGetsNothing) {
  auto start = steady_clock::now();
  handle(60, true);
  channel->close();
  ACE_Time_Value limit(5);
  ASSERT_TRUE(json_rpc::drain_workers(&limit));
  EXPECT_LT(steady_clock::now() - start, seconds(5));
  EXPECT_EQ(0u, rec->count_sent());
  EXPECT_TRUE(log.has(LM_ERROR, "Abort handling JSON-RPC request, requester has gone.\n"));
  EXPECT_FALSE(log.has(LM_INFO, "host.test is done.\n"));
}
