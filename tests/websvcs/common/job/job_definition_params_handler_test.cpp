// Job creation: the definition read from streamed params, its handover to
// the reactor thread, and the answers to refusals and departed requesters.
#include <gtest/gtest.h>

#include <ace/Manual_Event.h>

#include <chrono>
#include <thread>

#include "agent/reactor/simple_reactor.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_job_manager.h"
#include "websvcs/common/job/job_definition_params_handler.h"

using json_spirit::Value;

namespace {

// Signals once the reactor thread has run everything posted before it.
struct Barrier : ACE_Event_Handler {
  ACE_Manual_Event done{0, USYNC_THREAD};
  int handle_exception(ACE_HANDLE) override { return done.signal(); }
};

class JobCreateTest : public ::testing::Test {
 protected:
  JobCreateTest() { Simple_Reactor::instance()->start(); }
  ~JobCreateTest() override { Simple_Reactor::instance()->stop(); }

  // Streams `params` into a handler for `object` and deletes it, as the
  // framework does; returns how long the deletion took.
  std::chrono::milliseconds create(JSON_RPC_Object_Ptr object, const std::string& params) {
    YAJL_Handler* h = creator.create(JSON_RPC_Channel_WPtr(channel), object);
    YAJL_Parser parser(*h);
    EXPECT_TRUE(parser.feed(params.data(), params.size()) && parser.complete());
    const auto start = std::chrono::steady_clock::now();
    delete h;
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
  }
  void settle() {
    Barrier b;
    ASSERT_EQ(0, Simple_Reactor::instance()->notify(&b, ACE_Event_Handler::EXCEPT_MASK, nullptr));
    ACE_Time_Value limit(5);
    ASSERT_EQ(0, b.done.wait(&limit, 0));
  }

  Installed<Job_Manager, Recording_Job_Manager> jobs;
  Job_Definition_Params_Handler_Creator creator;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
};

}  // namespace

TEST_F(JobCreateTest, SubmitsTheDefinitionAndAnswersWithItsIdOrTheRefusal) {
  const char definition[] = R"({"id":"n1","x":{"y":[1,{"z":[]}]},"s":"t"})";
  const int REQUEST = JSON_RPC_Object::JSON_RPC_REQUEST, NOTIFY = JSON_RPC_Object::JSON_RPC_NOTIFY;
  const std::string refused = R"({"id":7,"jsonrpc":"2.0","error":{"code":-32603,)"
                              R"("message":"Internal error, failed to sumbit job."}})";
  const struct {
    const char* method;
    int type;
    bool accepted;
    std::string reply;  // "" for none
    std::size_t submissions;
  } cases[] = {
      {"job.create", REQUEST, true, R"({"id":7,"jsonrpc":"2.0","result":"n1"})", 1},
      {"job.create", NOTIFY, true, "", 1},
      {"job.create", REQUEST, false, refused, 1},
      {"job.create", NOTIFY, false, refused, 1},
      {"job.make", REQUEST, true,
       R"({"id":7,"jsonrpc":"2.0","error":{"code":-32601,"message":"Method not found"}})", 0},
  };
  std::size_t submitted = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    jobs.result = c.accepted;
    create(rpc_message(7, c.method, "", c.type), definition);
    settle();
    submitted += c.submissions;
    ASSERT_EQ(submitted, jobs.submitted().size());
    if (c.submissions) {
      EXPECT_EQ(parse_json(definition).get_obj(), jobs.submitted().back()->members());
    }
    EXPECT_EQ(c.reply.empty() ? Value() : parse_json(c.reply), rec->pop());
  }
  // No message at all: a parse error with a null id.
  create(JSON_RPC_Object_Ptr(), definition);
  settle();
  EXPECT_EQ(parse_json(R"({"id":null,"jsonrpc":"2.0","error":{"code":-32700,"message":"Parse error"}})"),
            rec->pop());
  EXPECT_EQ(submitted, jobs.submitted().size());
}

TEST_F(JobCreateTest, TheParserWaitsOnlyForAHandoverAndAGoneRequesterGetsNothing) {
  jobs.submit_delay = std::chrono::milliseconds(1500);
  EXPECT_LT(create(rpc_message(1, "job.create"), R"({"id":"slow"})").count(), 1000);
  settle();
  EXPECT_EQ(1u, jobs.submitted().size());
  EXPECT_EQ(1u, rec->count_sent());

  YAJL_Handler* h = creator.create(JSON_RPC_Channel_WPtr(channel), rpc_message(2, "job.create"));
  channel.reset();
  delete h;
  settle();
  EXPECT_EQ(1u, jobs.submitted().size());

  // Nor does a stopped reactor hold the parser up.
  channel = Recording_Channel::make(&rec);
  Simple_Reactor::instance()->stop();
  EXPECT_LT(create(rpc_message(3, "job.create"), R"({"id":"x"})").count(), 1000);
  EXPECT_EQ(1u, jobs.submitted().size());
}

// A requester that leaves while the parser waits for the hand-over: the
// waiting handler keeps no hold on its channel, so the reactor sees it gone
// (closed, or dropped by its transport) and submits nothing.
TEST_F(JobCreateTest, ARequesterThatLeavesDuringTheHandoverGetsNoJob) {
  for (bool dropped : {false, true}) {
    SCOPED_TRACE(dropped ? "dropped" : "closed");
    channel = Recording_Channel::make(&rec);
    // The reactor is busy until released, so the hand-over waits.
    struct Blocker : ACE_Event_Handler {
      ACE_Manual_Event entered{0, USYNC_THREAD}, release{0, USYNC_THREAD};
      int handle_exception(ACE_HANDLE) override {
        entered.signal();
        return release.wait();
      }
    } blocker;
    ASSERT_EQ(0, Simple_Reactor::instance()->notify(&blocker, ACE_Event_Handler::EXCEPT_MASK,
                                                    nullptr));
    ASSERT_EQ(0, blocker.entered.wait());
    YAJL_Handler* h = creator.create(JSON_RPC_Channel_WPtr(channel), rpc_message(4, "job.create"));
    const std::string params = R"({"id":"late"})";
    {
      YAJL_Parser parser(*h);
      EXPECT_TRUE(parser.feed(params.data(), params.size()) && parser.complete());
    }
    std::thread parser([h] { delete h; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // waiting by now
    channel->close();
    if (dropped) channel.reset();
    blocker.release.signal();
    parser.join();
    settle();
    EXPECT_EQ(0u, jobs.submitted().size());
    if (!dropped) {
      EXPECT_EQ(0u, rec->count_sent());
    }
  }
}
