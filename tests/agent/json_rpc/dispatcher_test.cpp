// The dispatcher: routing by method, the error answers it gives itself, the
// access rule of listener channels, and params streamed into a handler made
// per message.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "agent/json_rpc/json_rpc_dispatcher.h"
#include "agent/json_spirit/value_builder.h"
#include "agent/modsess/session.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_log.h"

using json_spirit::Value;

namespace {

// A message whose params are `count` numbers: past the memory budget of
// its length from about 70000 on.
std::string numbers_message(const std::string& method, std::size_t count,
                            bool params_first) {
  std::string params = "[";
  for (std::size_t i = 0; i < count; ++i) params += "1,";
  params.back() = ']';
  const std::string head = "\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"" + method + "\"";
  return params_first ? "{\"params\":" + params + "," + head + "}"
                      : "{" + head + ",\"params\":" + params + "}";
}

// Keeps what it was given and, for requests, answers with its params.
class Echo_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) override {
    received.push_back(object);
    JSON_RPC_Channel_Ptr c(channel);
    if (!c.get() || object->type() != JSON_RPC_Object::JSON_RPC_REQUEST) return 0;
    auto* r = static_cast<JSON_RPC_Request*>(object.get());
    JSON_RPC_Response* response = new JSON_RPC_Response(r);
    response->result = r->params;
    return c->send_object(JSON_RPC_Object_Ptr(response));
  }
  std::vector<JSON_RPC_Object_Ptr> received;
};

// Makes a handler per message that, when deleted, leaves in the creator
// what it saw. With `refuse` the handler stops reading at the first string,
// as a reader does with bad input.
class Recording_Creator : public JSON_RPC_Params_Handler_Creator {
 public:
  struct Handler : json_spirit::Value_Builder {
    Handler(Recording_Creator& c, JSON_RPC_Object_Ptr o) : creator(c), object(o) {}
    ~Handler() override {
      creator.params = value();
      creator.type_at_delete = object->type();
      creator.id_at_delete = object->id;
      creator.method = static_cast<JSON_RPC_Request*>(object.get())->method;
      ++creator.deleted;
    }
    int handle_string_i(const char* text, unsigned long long length) override {
      return creator.refuse ? 0 : Value_Builder::handle_string_i(text, length);
    }
    Recording_Creator& creator;
    JSON_RPC_Object_Ptr object;
  };
  YAJL_Handler* create(JSON_RPC_Channel_WPtr, JSON_RPC_Object_Ptr object) override {
    ++created;
    return new Handler(*this, object);
  }
  bool refuse = false;
  int created = 0, deleted = 0, type_at_delete = -1;
  Value params, id_at_delete;
  std::string method;
};

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    channel = Recording_Channel::make(&rec);
    dispatcher.bind("echo", &echo);
    dispatcher.bind_params("job.create", &creator);
  }
  int dispatch(const std::string& text) {
    return dispatcher.dispatch(channel, text.data(), text.size());
  }
  // Dispatches `text` on a fresh channel from a requester with session
  // `key`, on a listener channel (a session required) or the upstream one;
  // whether a handler got it.
  bool delivered_as(const char* key, const std::string& text, bool listener = true) {
    channel = Recording_Channel::make(&rec);
    channel->set_session_required(listener);
    rec->set_session_key(key);
    echo.received.clear();
    creator.created = 0;
    dispatch(text);
    return !echo.received.empty() || creator.created == 1;
  }
  // The single reply, checked to be an error with `code`; returns its id.
  Value expect_error(int code, const char* message) {
    EXPECT_EQ(1u, rec->count_sent());
    Value reply = rec->pop();
    const auto& o = reply.get_obj();
    EXPECT_EQ(Value(code), o.at("error").get_obj().at("code"));
    EXPECT_EQ(Value(message), o.at("error").get_obj().at("message"));
    return o.at("id");
  }

  JSON_RPC_Dispatcher dispatcher;
  Echo_Handler echo;
  Recording_Creator creator;
  Recording_Channel* rec = nullptr;
  JSON_RPC_Channel_Ptr channel;
};

}  // namespace

TEST_F(DispatcherTest, BadInputIsAnsweredByTheDispatcher) {
  const struct { std::string text; int code; const char* message; Value id; } cases[] = {
      {"", -32700, "Parse error", Value()},
      {"{\"jsonrpc\":\"2.0\",", -32700, "Parse error", Value()},
      {R"({"jsonrpc":"2.0","id":1,"method":"echo","params":)" +
           std::string(200000, '['),
       -32700, "Parse error", Value()},  // nesting that deep is refused
      {"[]", -32600, "Invalid Request", Value()},
      {"5", -32600, "Invalid Request", Value()},
      {R"({"id":1,"method":"echo"})", -32600, "Invalid Request", 1},
      {R"({"jsonrpc":"1.0","id":1,"method":"echo"})", -32600, "Invalid Request", 1},
      {R"({"jsonrpc":"2.0","id":1,"method":7})", -32600, "Invalid Request", 1},
      {R"({"jsonrpc":"2.0","id":1})", -32600, "Invalid Request", 1},
      {R"({"jsonrpc":"2.0","id":1,"method":"echo","params":1,"params":2})",
       -32600, "Invalid Request", 1},
      {R"({"jsonrpc":"2.0","id":{"x":1},"method":"echo"})", -32600, "Invalid Request", Value()},
      {R"({"jsonrpc":"2.0","id":"a-1","method":"no.such"})", -32601, "Method not found", "a-1"},
      // Text that is not UTF-8, raw or escaped, wherever it is.
      {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"echo\",\"params\":\"\xC0\xAF\"}", -32700,
       "Parse error", Value()},  // overlong '/'
      {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"echo\",\"params\":{\"\xF4\x90\x80\x80\":1}}",
       -32700, "Parse error", Value()},  // above U+10FFFF, in a key
      // Lone surrogates, form feed and the like are the parser's (its own
      // tests); one shows they end as a parse error here too.
      {R"({"jsonrpc":"2.0","id":"\ud800","method":"echo"})", -32700, "Parse error", Value()},
      // Ids that could not come back with the digits they were sent with.
      {R"({"jsonrpc":"2.0","id":18446744073709551617,"method":"echo"})", -32600,
       "Invalid Request", Value()},
      {R"({"jsonrpc":"2.0","id":)" + std::string(400, '9') + R"(,"method":"echo"})", -32600,
       "Invalid Request", Value()},  // beyond a double too
      {R"({"jsonrpc":"2.0","id":-0,"method":"echo"})", -32600, "Invalid Request", Value()},
      {R"({"jsonrpc":"2.0","id":1e2,"method":"echo"})", -32600, "Invalid Request", Value()},
      {R"({"jsonrpc":"2.0","id":0.1,"method":"echo"})", -32600, "Invalid Request", Value()},
  };
  for (const auto& c : cases) {
    channel = Recording_Channel::make(&rec);
    dispatch(c.text);
    EXPECT_EQ(c.id, expect_error(c.code, c.message)) << c.text.substr(0, 80);
  }
  // Values past the memory budget, built or streamed, params first or not.
  for (const char* method : {"echo", "job.create"})
    for (bool params_first : {false, true}) {
      channel = Recording_Channel::make(&rec);
      dispatch(numbers_message(method, 100000, params_first));
      EXPECT_EQ(Value(3), expect_error(-32600, "Invalid Request, too large to hold in memory."));
    }
  EXPECT_TRUE(echo.received.empty());
  // A streamed handler saw the messages end invalid.
  EXPECT_EQ(JSON_RPC_Object::JSON_RPC_INVALID, creator.type_at_delete);
  dispatch(numbers_message("echo", 60000, true));  // dense, but below the budget
  EXPECT_EQ(60000u, rec->pop().get_obj().at("result").get_array().size());
}

// The text is held while its values are built, so it counts against the
// same budget: values taking 7 times a message's length, which an 8x budget
// of the values alone let through, are refused; 5.6 times are served.
TEST_F(DispatcherTest, TheTextCountsAgainstTheMessagesMemoryBudget) {
  const std::size_t count = 1 << 18;  // a power of two: the array ends full
  const auto message = [&](std::size_t per_item) {  // text bytes per string
    const std::string item = "\"" + std::string(per_item - 3, 's') + "\",";
    std::string params = "[";
    params.reserve(count * item.size() + 2);
    for (std::size_t i = 0; i < count; ++i) params += item;
    params.back() = ']';
    return R"({"jsonrpc":"2.0","id":3,"method":"echo","params":)" + params + "}";
  };
  // Short strings live inside their values: an element costs one Value.
  const std::size_t value = sizeof(Value);
  dispatch(message(value / 7));
  EXPECT_EQ(Value(3), expect_error(-32600, "Invalid Request, too large to hold in memory."));
  EXPECT_TRUE(echo.received.empty());
  dispatch(message((value + 5) / 6));
  EXPECT_EQ(count, rec->pop().get_obj().at("result").get_array().size());
}

// On a channel open to any local process, a method that is not open needs a
// known session; otherwise nothing is built, made or delivered.
TEST_F(DispatcherTest, ClosedMethodsNeedAKnownSessionOnAListenerChannel) {
  Installed<Session_Manager, Session_Manager> sessions;
  sessions.add_session("good", "alice", 0);
  sessions.add_session("root", "admin", JSON_RPC_Dispatcher::ADMIN_PERMS);
  dispatcher.bind("open.one", &echo);
  const std::vector<std::string> open_one = {"open.one"}, all = {"x", "*"};
  const struct {
    const std::vector<std::string>& open;
    const char* key;
    const char* text;
    bool delivered;
    Value id;  // of the refusal
  } cases[] = {
      {open_one, "", R"({"jsonrpc":"2.0","id":1,"method":"echo","params":[1]})", false, 1},
      {open_one, "bad", R"({"jsonrpc":"2.0","method":"echo"})", false, Value()},
      {open_one, "", R"({"jsonrpc":"2.0","id":2,"method":"no.such"})", false, 2},
      {open_one, "", R"({"jsonrpc":"2.0","method":"job.create","params":{},"id":3})", false, 3},
      {open_one, "", R"({"params":{},"method":"job.create","jsonrpc":"2.0","id":4})", false, 4},
      {open_one, "", R"({"jsonrpc":"2.0","method":"job.create"})", false, Value()},
      {open_one, "", R"({"jsonrpc":"2.0","id":5,"method":"open.one"})", true, Value()},
      {open_one, "good", R"({"jsonrpc":"2.0","id":6,"method":"echo"})", true, Value()},
      {open_one, "root", R"({"params":{},"method":"job.create","jsonrpc":"2.0"})", true, Value()},
      {all, "", R"({"jsonrpc":"2.0","id":7,"method":"echo"})", true, Value()},
  };
  for (const auto& c : cases) {
    dispatcher.set_open_methods(c.open);
    EXPECT_EQ(c.delivered, delivered_as(c.key, c.text)) << c.text;
    if (!c.delivered) {
      EXPECT_EQ(c.id, expect_error(-32603, "Unauthenticated.")) << c.text;
    }
  }
}

// Acting methods need a session with both admin bits on a listener
// channel, open or not; the upstream channel (no session required) is not
// subject to it. A refusal builds and delivers nothing.
TEST_F(DispatcherTest, ActingMethodsNeedTheAdminBitsOnAListenerChannel) {
  Installed<Session_Manager, Session_Manager> sessions;
  sessions.add_session("root", "admin", 0xC000000000000000ULL);
  sessions.add_session("half", "bob", 0x8000000000000000ULL);
  sessions.add_session("other", "carol", 0x3FFFFFFFFFFFFFFFULL);
  dispatcher.bind("system.execute", &echo);
  const std::vector<std::string> none, all = {"*"};
  const char* const execute = R"({"jsonrpc":"2.0","id":1,"method":"system.execute","params":{}})";
  const char* const create = R"({"params":{"id":"j"},"jsonrpc":"2.0","id":2,"method":"job.create"})";
  const char* const echo_call = R"({"jsonrpc":"2.0","id":3,"method":"echo"})";
  const struct {
    const char* text;
    const char* key;
    bool listener;
    const std::vector<std::string>& open;
    const char* refusal;  // null when delivered
  } cases[] = {
      {execute, "root", true, none, nullptr},
      {create, "root", true, none, nullptr},
      {execute, "half", true, none, "Forbidden."},
      {create, "other", true, all, "Forbidden."},  // open does not lift it
      {execute, "", true, all, "Unauthenticated."},
      {R"({"jsonrpc":"2.0","method":"system.execute"})", "half", true, none, "Forbidden."},
      {echo_call, "half", true, none, nullptr},  // other methods: any session
      {execute, "", false, none, nullptr},        // the upstream channel
      {create, "half", false, none, nullptr},
  };
  for (const auto& c : cases) {
    dispatcher.set_open_methods(c.open);
    EXPECT_EQ(!c.refusal, delivered_as(c.key, c.text, c.listener)) << c.text << c.key;
    if (c.refusal) {
      const Value id = expect_error(-32603, c.refusal);
      EXPECT_EQ(parse_json(c.text).get_obj().count("id") ? parse_json(c.text).get_obj().at("id")
                                                         : Value(),
                id);
    }
  }
  // The set is a setting.
  dispatcher.set_admin_methods({"echo"});
  EXPECT_FALSE(delivered_as("half", echo_call));
  EXPECT_EQ(Value(3), expect_error(-32603, "Forbidden."));
  EXPECT_TRUE(delivered_as("half", execute));
}

TEST_F(DispatcherTest, MethodsAreBoundOnceAndCallsReachTheirHandlerIdsUnchanged) {
  Recording_Log log;
  const char* const texts[] = {
      R"({"params":{"b":[1,2]},"method":"echo","id":9,"jsonrpc":"2.0","x":{}})",
      R"({"jsonrpc":"2.0","method":"echo","id":null})",
      R"({"jsonrpc":"2.0","method":"echo","params":[1]})",
      R"({"jsonrpc":"2.0","method":"no.such"})",  // a notify: logged only
      R"({"jsonrpc":"2.0","id":1,"result":true})",
      R"({"jsonrpc":"2.0","id":1,"error":{"code":1,"message":"x"}})"};
  for (const char* text : texts) EXPECT_EQ(0, dispatch(text)) << text;
  EXPECT_EQ(1u, log.count(LM_WARNING, "no.such"));
  ASSERT_EQ(3u, echo.received.size());
  EXPECT_EQ(JSON_RPC_Object::JSON_RPC_REQUEST, echo.received[1]->type());  // a null id
  EXPECT_EQ(JSON_RPC_Object::JSON_RPC_NOTIFY, echo.received[2]->type());
  EXPECT_EQ(parse_json(R"({"jsonrpc":"2.0","id":9,"result":{"b":[1,2]}})"), rec->pop());
  EXPECT_EQ(parse_json(R"({"jsonrpc":"2.0","id":null,"result":null})"), rec->pop());
  EXPECT_EQ(2u, rec->count_sent());
  const int idle = rec->idle_count();
  EXPECT_GE(idle, 3);
  dispatch("not json");
  EXPECT_EQ(idle + 1, rec->idle_count());

  // Ids come back with the digits they were sent with.
  channel = Recording_Channel::make(&rec);
  for (const char* id : {"18446744073709551615", "-9223372036854775808", "2.5",
                         "1.0", "\"x\"", "null"}) {
    dispatch(std::string(R"({"jsonrpc":"2.0","method":"echo","id":)") + id + "}");
    ASSERT_EQ(1u, rec->texts().size());
    EXPECT_NE(std::string::npos, rec->texts()[0].find(std::string("\"id\":") + id))
        << rec->texts()[0];
    channel = Recording_Channel::make(&rec);
  }

  // A method is bound once, whatever its kind.
  EXPECT_FALSE(dispatcher.bind("echo", &echo) || dispatcher.bind_params("echo", &creator) ||
               dispatcher.bind("job.create", &echo) || dispatcher.bind("n", nullptr));
  EXPECT_EQ(&echo, dispatcher.handler("echo"));
}

// The params stream into a handler made per message, which acts when
// deleted: its object must then say what the message turned out to be, and
// a broken message gets the dispatcher's answer too.
TEST_F(DispatcherTest, ParamsStreamIntoTheCreatedHandlerInEitherKeyOrder) {
  const std::string params = R"({"id":"j1","big":18446744073709551615,"n":[1,{"a":null}]})";
  const struct {
    std::string text;
    bool refuse;
    int type_at_delete;
    int code;  // 0: no answer from the dispatcher
  } cases[] = {
      {R"({"jsonrpc":"2.0","method":"job.create","params":)" + params + R"(,"id":4})", false,
       JSON_RPC_Object::JSON_RPC_REQUEST, 0},
      // The id comes after the params and is still known when the handler goes.
      {R"({"params":)" + params + R"(,"id":4,"method":"job.create","jsonrpc":"2.0"})", false,
       JSON_RPC_Object::JSON_RPC_REQUEST, 0},
      {R"({"jsonrpc":"2.0","method":"job.create"})", false, JSON_RPC_Object::JSON_RPC_NOTIFY, 0},
      {R"({"jsonrpc":"2.0","method":"job.create","params":{"id":"j"},"id":)", false,
       JSON_RPC_Object::JSON_RPC_INVALID, -32700},
      {R"({"jsonrpc":"3","method":"job.create","params":{},"id":2})", false,
       JSON_RPC_Object::JSON_RPC_INVALID, -32600},
      {R"({"jsonrpc":"2.0","id":5,"method":"job.create","params":{"id":"x"}})", true,
       JSON_RPC_Object::JSON_RPC_INVALID, -32602},
      {R"({"jsonrpc":"2.0","id":6,"params":{"id":"x"},"method":"job.create"})", true,
       JSON_RPC_Object::JSON_RPC_INVALID, -32602},  // refused on replay
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    channel = Recording_Channel::make(&rec);
    creator.deleted = 0;
    creator.refuse = c.refuse;
    dispatch(c.text);
    EXPECT_EQ(1, creator.deleted);
    EXPECT_EQ(c.type_at_delete, creator.type_at_delete);
    EXPECT_EQ("job.create", creator.method);
    EXPECT_EQ(c.code ? 1u : 0u, rec->count_sent());  // the handler answers, not the dispatcher
    if (c.code) {
      EXPECT_EQ(Value(c.code), rec->pop().get_obj().at("error").get_obj().at("code"));
    }
    if (c.type_at_delete != JSON_RPC_Object::JSON_RPC_REQUEST) continue;
    EXPECT_EQ(parse_json(params), creator.params);
    EXPECT_EQ(Value(4), creator.id_at_delete);
  }
}

namespace {

// A thread handler that answers its params after `pause`, counting how many
// of its calls run at once.
class Slow_Echo : public JSON_RPC_Thread_Handler {
 public:
  int handle_object_i(JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) override {
    const int now = ++running;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(pause);
    --running;
    ++ran;
    JSON_RPC_Channel_Ptr c(channel);
    if (!c.get() || !c->is_open() || object->type() != JSON_RPC_Object::JSON_RPC_REQUEST)
      return 0;
    auto* r = static_cast<JSON_RPC_Request*>(object.get());
    JSON_RPC_Response* response = new JSON_RPC_Response(r);
    response->result = r->params;
    return c->send_object(JSON_RPC_Object_Ptr(response));
  }
  std::chrono::milliseconds pause{20};
  std::atomic<int> running{0}, most{0}, ran{0};
};

std::string member(int id, const std::string& method, const std::string& params) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
         "\",\"params\":" + params + "}";
}

}  // namespace

TEST_F(DispatcherTest, BatchAnswersEachMemberInOrderAsOneArray) {
  Slow_Echo slow;
  dispatcher.bind("slow", &slow);
  dispatch("[" + member(1, "slow", "\"a\"") + ", " + member(2, "echo", "\"b\"") +
           R"(, {"jsonrpc":"2.0","method":"echo","params":1}, 1, {}, [)" +
           member(5, "echo", "0") + "], " + member(3, "slow", "\"c\"") + ", " +
           member(4, "no.such", "0") + "]");
  ASSERT_TRUE(rec->wait_idle(std::chrono::seconds(5)));
  ASSERT_EQ(1u, rec->count_sent());
  const Value reply = rec->pop();
  const json_spirit::Array& a = reply.get_array();
  ASSERT_EQ(7u, a.size()) << json_spirit::JSON_Dump(reply, false);
  EXPECT_EQ(Value("a"), a[0].get_obj().at("result"));
  EXPECT_EQ(Value("b"), a[1].get_obj().at("result"));
  for (int i : {2, 3, 4}) {  // not request objects: -32600 with a null id each
    EXPECT_EQ(Value(-32600), a[i].get_obj().at("error").get_obj().at("code"));
    EXPECT_EQ(Value(), a[i].get_obj().at("id"));
  }
  EXPECT_EQ(Value("c"), a[5].get_obj().at("result"));
  EXPECT_EQ(Value(-32601), a[6].get_obj().at("error").get_obj().at("code"));
  // Members on worker threads still ran one after another.
  EXPECT_EQ(1, slow.most.load());
  EXPECT_EQ(1, rec->idle_count());
}

TEST_F(DispatcherTest, BatchStopsWhenItsRequesterLeaves) {
  Slow_Echo slow;
  slow.pause = std::chrono::milliseconds(200);
  dispatcher.bind("slow", &slow);
  dispatch("[" + member(1, "slow", "1") + "," + member(2, "slow", "2") + "," +
           member(3, "slow", "3") + "]");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  channel->close();
  ASSERT_TRUE(rec->wait_idle(std::chrono::seconds(5)));
  // The member under way finished for nobody; the others never started.
  EXPECT_EQ(1, slow.ran.load());
  EXPECT_EQ(0u, rec->count_sent());
}
