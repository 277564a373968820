// Queue push: option parsing, the push algorithm's warnings and results, one
// enqueue per batch in params order, the requester on every block, and the
// silent fate of notifies.
#include <gtest/gtest.h>

#include "agent/modsess/session.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_queue_manager.h"
#include "websvcs/common/queue/jsonrpc/queue_push_handler.h"

namespace {

const char TRUE_REPLY[] = R"({"id":9,"jsonrpc":"2.0","result":true})";
const char NOT_ARRAY[] =
    R"({"error":{"code":-32602,"message":"Invalid params: params type must be array."},"id":9,"jsonrpc":"2.0"})";

class QueuePushTest : public Handler_Test<JSON_RPC_Queue_Push_Handler> {
 protected:
  void init(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    EXPECT_EQ(0, target->init(static_cast<int>(argv.size()), argv.data()));
  }
  // Hands `params` (JSON text) to the handler as a request (id 9) or a notify.
  void handle(const std::string& params, bool notify = false, bool gone = false) {
    JSON_RPC_Request r(notify ? JSON_RPC_Object::JSON_RPC_NOTIFY : JSON_RPC_Object::JSON_RPC_REQUEST);
    if (!notify) r.id = 9;
    r.method = "queue.push";
    r.params = parse_json(params);
    JSON_RPC_Channel* ch = gone ? nullptr : channel.get();
    if (notify)
      target->handle_notify(ch, r);
    else
      target->handle_request(ch, r);
  }

  Installed<Queue_Manager, Recording_Queue_Manager> queues;
  JSON_RPC_Queue_Push_Handler* target = &handler;
};

}  // namespace

TEST_F(QueuePushTest, OptionsNameTheQueueAndUnknownOnesAreLoggedAndSkipped) {
  const std::string uninitialised = R"({"error":{"code":-32603,"message":"Internal error: Queue )"
                                    R"(Push Handler is not initialized."},"id":9,"jsonrpc":"2.0"})";
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> queue;  // none: not initialised
    std::vector<std::string> unknown;
  } cases[] = {
      {{"-q", "default", "-c", "rpc_service_requester"}, {"default"}, {}},
      {{"-x", "-q", "a", "-z", "-q", "b"}, {"b"}, {"x", "z"}},
      {{"-q", "first", "-q"}, {"first"}, {"q"}},
      {{"-q"}, {}, {"q"}},
  };
  for (const auto& c : cases) {
    Recording_Log lines;
    JSON_RPC_Queue_Push_Handler fresh;
    target = &fresh;
    init(c.args);
    queues.calls.clear();
    handle(R"({"not":"an array"})");  // uninitialised comes first
    handle(R"([{"message":"m"}])");
    EXPECT_EQ(c.queue.empty() ? uninitialised : NOT_ARRAY, reply());
    EXPECT_EQ(c.queue.empty() ? uninitialised : TRUE_REPLY, reply());
    std::vector<std::string> names;
    for (const auto& call : queues.calls) names.push_back(call.name);
    EXPECT_EQ(c.queue, names);
    for (const std::string& option : c.unknown)
      EXPECT_TRUE(lines.has(LM_ERROR, "Unknown queue option: " + option + "\n")) << option;
    EXPECT_EQ(c.unknown.size(), lines.count(LM_ERROR, "Unknown queue option"));
  }
}

TEST_F(QueuePushTest, PushesEachBatchOnceInParamsOrderAndAnswersTheQueuesBoolean) {
  init({"-q", "jobs"});
  const struct {
    const char* params;
    bool queue_answer;
    const char* reply;
    std::vector<std::string> blocks;  // data[:group]
    std::size_t object_warnings, message_warnings;
  } cases[] = {
      {"[]", false, TRUE_REPLY, {}, 0, 0},
      {R"([1,"s",null,{"message":2},{"group":"g"},{}])", false, TRUE_REPLY, {}, 3, 3},
      {R"([{"message":"a","group":"g1"},7,{"message":"","group":5},{"message":"c","x":1}])",
       true, TRUE_REPLY, {"a:g1", "", "c"}, 1, 0},
      {R"([{"message":"only"}])", false, R"({"id":9,"jsonrpc":"2.0","result":false})", {"only"}, 0, 0},
      {"null", true, NOT_ARRAY, {}, 0, 0},
  };
  for (const auto& c : cases) {
    Recording_Log lines;
    queues.calls.clear();
    queues.answer = c.queue_answer;
    handle(c.params);
    EXPECT_EQ(c.reply, reply()) << c.params;
    std::vector<std::string> seen;
    for (const auto& call : queues.calls)
      for (const auto& b : call.blocks) {
        seen.push_back(b.first);
        EXPECT_TRUE(b.second.empty());
      }
    EXPECT_EQ(c.blocks.empty() ? 0u : 1u, queues.calls.size()) << c.params;
    EXPECT_EQ(c.blocks, seen);
    EXPECT_EQ(c.object_warnings,
              lines.count(LM_WARNING, "type of element is expected as object(0), but actually is ("));
    EXPECT_EQ(c.message_warnings,
              lines.count(LM_WARNING, "'message' does not exist or type of 'message' is not string(2)"));
  }
}

TEST_F(QueuePushTest, TheRequesterGoesOnEveryBlockWhenAskedAndNotifiesAreNeverAnswered) {
  Installed<Session_Manager, Session_Manager> sessions;
  sessions.add_session("k", "alice", 1);
  rec->set_session_key("k");
  rec->set_remote_address(ACE_INET_Addr(8580, "192.0.2.7"));
  const std::string batch = R"([{"message":"a"},{"message":"b"}])";
  init({"-c", "rpc_service_requester", "-q", "q"});
  handle(batch);
  handle(batch, true);  // a notify: no id
  init({"-c", "other"});
  handle(batch);
  init({"-c", "rpc_service_requester"});
  handle(batch, true, true);  // a notify whose requester has gone

  const std::string described = R"({"address":"192.0.2.7","id":9,"method":"queue.push","user":"alice"})";
  const std::string expected[] = {described,
                                  R"({"address":"192.0.2.7","method":"queue.push","user":"alice"})",
                                  "{}", "{}"};
  ASSERT_EQ(4u, queues.calls.size());
  for (std::size_t i = 0; i < 4; ++i)
    for (const auto& b : queues.calls[i].blocks)
      EXPECT_EQ(expected[i], json_spirit::JSON_Dump(b.second, false)) << i;

  // Notifies are never answered; their failures are only logged.
  queues.answer = false;
  handle(batch, true);
  handle(R"("x")", true);
  handle(batch, false, true);
  EXPECT_EQ(2u, rec->count_sent());  // the two requests above
  EXPECT_EQ(5u, queues.calls.size());
  EXPECT_TRUE(log.has(LM_ERROR, "Failed to handle JSON-RPC notify in Queue Push Handler: "
                                "-32602, Invalid params: params type must be array.\n"));
  EXPECT_TRUE(log.has(LM_ERROR, "Abort handling JSON-RPC request(id: 9) in Queue Push "
                                "Handler, requester has gone.\n"));
}
