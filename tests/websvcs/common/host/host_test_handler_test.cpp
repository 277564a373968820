// host.test: the wait it takes from params and its reply. Waiting on a
// worker and a requester that leaves meanwhile are seen end to end.
#include <gtest/gtest.h>

#include <climits>

#include "tests/fakes/recording_channel.h"
#include "websvcs/common/host/host_test_handler.h"

using json_spirit::Value;

using HostTest = Handler_Test<JSON_RPC_Host_Test_Handler>;

TEST(HostTestWait, IntegersAreSecondsNegativesNoneAndOtherKindsTwoMinutes) {
  const auto wait = &JSON_RPC_Host_Test_Handler::wait_seconds;
  EXPECT_EQ((std::vector<unsigned>{5, 0, 0, 0, UINT_MAX, 120, 120, 120, 120, 120, 120}),
            (std::vector<unsigned>{wait(5), wait(0), wait(-1), wait(INT64_MIN), wait(INT64_MAX),
                                   wait(Value("5")), wait(Value(5.5)), wait(json_spirit::Array()),
                                   wait(json_spirit::Object()), wait(Value()), wait(Value(true))}));
}

TEST_F(HostTest, NotifyIsRefusedAndZeroAnswersOkAtOnceAfterTheDoneLine) {
  send(5, "host.test", "0", JSON_RPC_Object::JSON_RPC_NOTIFY);
  EXPECT_EQ(1u, log.count(LM_EMERGENCY, "obj is not JSON-RPC request!"));
  EXPECT_EQ(0u, rec->count_sent());
  send(5, "host.test", "0");
  EXPECT_EQ(R"({"id":5,"jsonrpc":"2.0","result":"OK"})", reply());
  EXPECT_TRUE(log.has(LM_INFO, "host.test is done.\n"));
}
