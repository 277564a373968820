// host.test: the wait it takes from params, its reply, and what it does when
// the requester leaves.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_log.h"
#include "websvcs/common/host/host_test_handler.h"

using json_spirit::Value;
using namespace std::chrono;

namespace {

JSON_RPC_Object_Ptr message(const Value& params,
                            int type = JSON_RPC_Object::JSON_RPC_REQUEST) {
  JSON_RPC_Request* r = new JSON_RPC_Request(type);
  r->id = "t";
  r->method = "host.test";
  r->params = params;
  return JSON_RPC_Object_Ptr(r);
}

Value parse(const char* text) {
  Value v;
  json_spirit::read(text, v);
  return v;
}

}  // namespace

TEST(HostTestWait, IntegersAreSecondsAndEverythingElseIsTwoMinutes) {
  EXPECT_EQ(5u, JSON_RPC_Host_Test_Handler::wait_seconds(5));
  EXPECT_EQ(0u, JSON_RPC_Host_Test_Handler::wait_seconds(0));
  for (const char* other : {"\"5\"", "5.5", "[]", "{}", "null", "true"})
    EXPECT_EQ(120u, JSON_RPC_Host_Test_Handler::wait_seconds(parse(other)))
        << other;
}

TEST(HostTestWait, NegativeCountsNeverWaitForDecades) {
  EXPECT_EQ(0u, JSON_RPC_Host_Test_Handler::wait_seconds(-1));
  EXPECT_EQ(0u, JSON_RPC_Host_Test_Handler::wait_seconds(INT64_MIN));
}

TEST(HostTest, ZeroAnswersOkAtOnceAfterTheDoneLine) {
  Recording_Log log;
  JSON_RPC_Host_Test_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  EXPECT_EQ(0, handler.handle_object_i(JSON_RPC_Channel_WPtr(channel), message(0)));
  EXPECT_EQ(parse(R"({"jsonrpc":"2.0","id":"t","result":"OK"})"), rec->pop());
  EXPECT_TRUE(log.has(LM_INFO, "host.test is done.\n"));
}

TEST(HostTest, WaitsOnAWorkerWithoutHoldingUpDelivery) {
  JSON_RPC_Host_Test_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  auto start = steady_clock::now();
  EXPECT_EQ(0, handler.handle_object(JSON_RPC_Channel_WPtr(channel), message(1)));
  EXPECT_LT(steady_clock::now() - start, milliseconds(500));
  ASSERT_TRUE(rec->wait_for_sent(1, seconds(5)));
  EXPECT_GE(steady_clock::now() - start, milliseconds(950));
  EXPECT_EQ(Value("OK"), rec->pop().get_obj().at("result"));
  ASSERT_TRUE(json_rpc::drain_workers(nullptr));
}

TEST(HostTest, RequesterLeavingDuringTheWaitGetsNothing) {
  Recording_Log log;
  JSON_RPC_Host_Test_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  auto start = steady_clock::now();
  handler.handle_object(JSON_RPC_Channel_WPtr(channel), message(60));
  channel->close();
  ACE_Time_Value limit(5);
  ASSERT_TRUE(json_rpc::drain_workers(&limit));
  EXPECT_LT(steady_clock::now() - start, seconds(5));
  EXPECT_EQ(0u, rec->count_sent());
  EXPECT_TRUE(log.has(LM_ERROR,
                      "Abort handling JSON-RPC request, requester has gone.\n"));
  EXPECT_FALSE(log.has(LM_INFO, "host.test is done.\n"));
}

TEST(HostTest, NotifyIsRefusedWithAnEmergencyLine) {
  Recording_Log log;
  JSON_RPC_Host_Test_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
  EXPECT_EQ(-1, handler.handle_object_i(
                    JSON_RPC_Channel_WPtr(channel),
                    message(0, JSON_RPC_Object::JSON_RPC_NOTIFY)));
  EXPECT_EQ(0u, rec->count_sent());
  EXPECT_EQ(1u, log.count(LM_EMERGENCY, "obj is not JSON-RPC request!"));
}
