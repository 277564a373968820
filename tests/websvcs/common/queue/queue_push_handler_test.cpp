// Queue push: option parsing, the push algorithm's warnings and results, one
// enqueue per batch in params order, the requester on every block, and the
// silent fate of notifies.
#include <gtest/gtest.h>

#include "agent/modsess/session.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/recording_queue_manager.h"
#include "websvcs/common/queue/jsonrpc/queue_push_handler.h"

using json_spirit::Value;

namespace {

class QueuePushTest : public ::testing::Test {
 protected:
  void init(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    EXPECT_EQ(0, target->init(static_cast<int>(argv.size()), argv.data()));
  }
  // Hands `params` (JSON text) to the handler as a request or a notify.
  int handle(const std::string& params, bool notify = false, bool gone = false) {
    JSON_RPC_Request r(notify ? JSON_RPC_Object::JSON_RPC_NOTIFY
                              : JSON_RPC_Object::JSON_RPC_REQUEST);
    if (!notify) r.id = 9;
    r.method = "queue.push";
    EXPECT_TRUE(json_spirit::read(params, r.params)) << params;
    JSON_RPC_Channel* ch = gone ? nullptr : channel.get();
    return notify ? target->handle_notify(ch, r) : target->handle_request(ch, r);
  }

  Recording_Log log;
  Recording_Queue_Manager queues;
  Scoped_Instance_T<Queue_Manager> installed{&queues};
  JSON_RPC_Queue_Push_Handler handler;
  JSON_RPC_Queue_Push_Handler* target = &handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
};

Value error_reply(int code, const char* message) {
  return Value(json_spirit::Object{
      {"jsonrpc", "2.0"},
      {"id", 9},
      {"error", json_spirit::Object{{"code", code}, {"message", message}}}});
}

Value result_reply(bool result) {
  return Value(json_spirit::Object{{"jsonrpc", "2.0"}, {"id", 9}, {"result", result}});
}

}  // namespace

TEST_F(QueuePushTest, OptionsNameTheQueueAndUnknownOnesAreLoggedAndSkipped) {
  const struct {
    std::vector<std::string> args;
    const char* queue;  // null: not initialised
    std::vector<std::string> unknown;
  } cases[] = {
      {{"-q", "default", "-c", "rpc_service_requester"}, "default", {}},
      {{"-x", "-q", "a", "-z", "-q", "b"}, "b", {"x", "z"}},
      {{"-q", "first", "-q"}, "first", {"q"}},
      {{"-q"}, nullptr, {"q"}},
      {{}, nullptr, {}},
  };
  for (const auto& c : cases) {
    Recording_Log lines;
    JSON_RPC_Queue_Push_Handler fresh;
    target = &fresh;
    init(c.args);
    queues.calls.clear();
    handle(R"([{"message":"m"}])");
    if (c.queue) {
      ASSERT_EQ(1u, queues.calls.size());
      EXPECT_EQ(c.queue, queues.calls[0].name);
      EXPECT_FALSE(queues.calls[0].timeout_given);
      EXPECT_EQ(result_reply(true), rec->pop());
    } else {
      EXPECT_TRUE(queues.calls.empty());
      EXPECT_EQ(error_reply(-32603, "Internal error: Queue Push Handler is not initialized."),
                rec->pop());
    }
    for (const std::string& option : c.unknown)
      EXPECT_TRUE(lines.has(LM_ERROR, "Unknown queue option: " + option + "\n")) << option;
    EXPECT_EQ(c.unknown.size(), lines.count(LM_ERROR, "Unknown queue option"));
  }
}

TEST_F(QueuePushTest, PushesEachBatchOnceInParamsOrderAndAnswersTheQueuesBoolean) {
  init({"-q", "jobs"});
  const std::string warn_object =
      "Failed to handle element of params in Queue Push Handler, type of element is "
      "expected as object(0), but actually is (";
  const std::string warn_message = "Failed to handle 'message' in element of params";
  const struct {
    const char* params;
    bool queue_answer;
    Value reply;
    std::vector<std::string> blocks;  // data[:group]
    std::size_t object_warnings, message_warnings;
  } cases[] = {
      {"[]", false, result_reply(true), {}, 0, 0},
      {R"([1,"s",null,{"message":2},{"group":"g"},{}])", false, result_reply(true), {}, 3, 3},
      {R"([{"message":"a","group":"g1"},7,{"message":"","group":5},{"message":"c","x":1}])",
       true, result_reply(true), {"a:g1", "", "c"}, 1, 0},
      {R"([{"message":"only"}])", false, result_reply(false), {"only"}, 0, 0},
      {R"({"message":"a"})", true,
       error_reply(-32602, "Invalid params: params type must be array."), {}, 0, 0},
      {"null", true, error_reply(-32602, "Invalid params: params type must be array."), {}, 0,
       0},
  };
  for (const auto& c : cases) {
    Recording_Log lines;
    queues.calls.clear();
    queues.answer = c.queue_answer;
    EXPECT_EQ(0, handle(c.params)) << c.params;
    EXPECT_EQ(c.reply, rec->pop()) << c.params;
    if (c.blocks.empty()) {
      EXPECT_TRUE(queues.calls.empty()) << c.params;
    } else {
      ASSERT_EQ(1u, queues.calls.size()) << c.params;
      std::vector<std::string> seen;
      for (const auto& b : queues.calls[0].blocks) {
        seen.push_back(b.has_group ? b.data + ":" + b.group : b.data);
        EXPECT_TRUE(b.control.empty());
      }
      EXPECT_EQ(c.blocks, seen);
    }
    EXPECT_EQ(c.object_warnings, lines.count(LM_WARNING, warn_object)) << c.params;
    EXPECT_EQ(c.message_warnings, lines.count(LM_WARNING, warn_message)) << c.params;
  }
}

TEST_F(QueuePushTest, TheRequesterDescriptionGoesOnEveryBlockOnlyWhenAskedAndKnown) {
  Session_Manager sessions;
  Scoped_Instance_T<Session_Manager> installed_sessions{&sessions};
  sessions.add_session("k", "alice", 1);
  rec->set_session_key("k");
  rec->set_remote_address(ACE_INET_Addr(8580, "192.0.2.7"));
  const json_spirit::Object described{
      {"address", "192.0.2.7"}, {"user", "alice"}, {"method", "queue.push"}, {"id", 9}};
  const std::string batch = R"([{"message":"a"},{"message":"b"}])";

  init({"-c", "rpc_service_requester", "-q", "q"});
  handle(batch);
  handle(batch, true);  // a notify: no id
  init({"-c", "other"});
  handle(batch);
  init({"-c", "rpc_service_requester"});
  handle(batch, true, true);  // a notify whose requester has gone

  ASSERT_EQ(4u, queues.calls.size());
  json_spirit::Object notify_described = described;
  notify_described.erase("id");
  const json_spirit::Object expected[] = {described, notify_described, {}, {}};
  for (std::size_t i = 0; i < 4; ++i)
    for (const auto& b : queues.calls[i].blocks) EXPECT_EQ(Value(expected[i]), Value(b.control)) << i;
}

TEST_F(QueuePushTest, NotifiesAreNeverAnsweredAndTheirFailuresOnlyLogged) {
  init({"-q", "q"});
  queues.answer = false;
  EXPECT_EQ(0, handle(R"([{"message":"a"}])", true));
  EXPECT_EQ(0, handle(R"("x")", true));
  EXPECT_EQ(-1, handle(R"([{"message":"a"}])", false, true));
  EXPECT_EQ(0u, rec->count_sent());
  EXPECT_EQ(1u, queues.calls.size());
  EXPECT_TRUE(log.has(LM_ERROR, "Failed to handle JSON-RPC notify in Queue Push Handler: "
                                "-32602, Invalid params: params type must be array.\n"));
  EXPECT_TRUE(log.has(LM_ERROR, "Abort handling JSON-RPC request(id: 9) in Queue Push "
                                "Handler, requester has gone.\n"));
}
