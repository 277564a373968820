// The dispatcher: routing by method, the error answers it gives itself, and
// params streamed into a handler made per message.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "agent/json_rpc/json_rpc_dispatcher.h"
#include "agent/json_spirit/value_builder.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_log.h"

using json_spirit::Value;

namespace {

Value parse(const std::string& text) {
  Value v;
  EXPECT_TRUE(json_spirit::read(text, v)) << text;
  return v;
}

// Keeps what it was given and, for requests, answers with its params.
class Echo_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr channel,
                    JSON_RPC_Object_Ptr object) override {
    received.push_back(object);
    JSON_RPC_Channel_Ptr c(channel);
    JSON_RPC_Request* r = dynamic_cast<JSON_RPC_Request*>(object.get());
    if (!c.get() || object->type() != JSON_RPC_Object::JSON_RPC_REQUEST)
      return 0;
    JSON_RPC_Response* response = new JSON_RPC_Response(r);
    response->result = r->params;
    return c->send_object(JSON_RPC_Object_Ptr(response));
  }
  std::vector<JSON_RPC_Object_Ptr> received;
};

// What a streamed params handler saw, kept after the handler is deleted.
struct Params_Record {
  Value params;
  bool built = false;
  int type_at_delete = -1;
  Value id_at_delete;
  std::string method;
  int deleted = 0;
};

class Recording_Params_Handler : public json_spirit::Value_Builder {
 public:
  Recording_Params_Handler(Params_Record& record, JSON_RPC_Object_Ptr object)
      : record_(record), object_(object) {}
  ~Recording_Params_Handler() override {
    record_.params = value();
    record_.built = done();
    record_.type_at_delete = object_->type();
    record_.id_at_delete = object_->id;
    record_.method = static_cast<JSON_RPC_Request*>(object_.get())->method;
    ++record_.deleted;
  }

 private:
  Params_Record& record_;
  JSON_RPC_Object_Ptr object_;
};

// Stops reading at the first string, as a reader does with bad input.
class Refusing_Params_Handler : public Recording_Params_Handler {
 public:
  using Recording_Params_Handler::Recording_Params_Handler;
  int handle_string_i(const char*, unsigned long long) override { return 0; }
};

class Recording_Creator : public JSON_RPC_Params_Handler_Creator {
 public:
  YAJL_Handler* create(JSON_RPC_Channel_WPtr, JSON_RPC_Object_Ptr object) override {
    ++created;
    if (refuse) return new Refusing_Params_Handler(record, object);
    return new Recording_Params_Handler(record, object);
  }
  bool refuse = false;
  Params_Record record;
  int created = 0;
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
  // The single reply, checked to be an error with `code`; returns its id.
  Value expect_error(int code, const char* message) {
    EXPECT_EQ(1u, rec->count_sent());
    Value reply = rec->pop();
    const auto& o = reply.get_obj();
    EXPECT_EQ(Value("2.0"), o.at("jsonrpc"));
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

TEST_F(DispatcherTest, TextThatIsNotJsonGetsParseError) {
  for (const char* bad : {"", "{", "{\"jsonrpc\":\"2.0\",", "hello", "[1,,]"}) {
    rec = nullptr;
    channel = Recording_Channel::make(&rec);
    dispatch(bad);
    EXPECT_TRUE(expect_error(-32700, "Parse error").is_null()) << bad;
  }
  EXPECT_TRUE(echo.received.empty());
}

TEST_F(DispatcherTest, DeepNestingIsRefusedAsAParseError) {
  dispatch(R"({"jsonrpc":"2.0","id":1,"method":"echo","params":)" +
           std::string(200000, '['));
  EXPECT_TRUE(expect_error(-32700, "Parse error").is_null());
  EXPECT_TRUE(echo.received.empty());
}

TEST_F(DispatcherTest, JsonThatIsNotAnObjectGetsInvalidRequest) {
  for (const char* bad : {"[]", "[{\"jsonrpc\":\"2.0\",\"method\":\"echo\"}]",
                          "5", "\"echo\"", "null"}) {
    channel = Recording_Channel::make(&rec);
    dispatch(bad);
    EXPECT_TRUE(expect_error(-32600, "Invalid Request").is_null()) << bad;
  }
}

TEST_F(DispatcherTest, MalformedMessagesGetInvalidRequestWithTheirId) {
  const char* bad[] = {
      R"({"id":1,"method":"echo"})",
      R"({"jsonrpc":"1.0","id":1,"method":"echo"})",
      R"({"jsonrpc":"2.0","id":1,"method":7})",
      R"({"jsonrpc":"2.0","id":1})",
      R"({"jsonrpc":"2.0","id":1,"method":"echo","params":1,"params":2})",
  };
  for (const char* text : bad) {
    channel = Recording_Channel::make(&rec);
    dispatch(text);
    EXPECT_EQ(Value(1), expect_error(-32600, "Invalid Request")) << text;
  }
  channel = Recording_Channel::make(&rec);
  dispatch(R"({"jsonrpc":"2.0","id":{"x":1},"method":"echo"})");
  EXPECT_TRUE(expect_error(-32600, "Invalid Request").is_null());
  EXPECT_TRUE(echo.received.empty());
}

TEST_F(DispatcherTest, UnboundMethodGetsMethodNotFound) {
  dispatch(R"({"jsonrpc":"2.0","id":"a-1","method":"no.such"})");
  EXPECT_EQ(Value("a-1"), expect_error(-32601, "Method not found"));
}

TEST_F(DispatcherTest, NotifyOfAnUnboundMethodIsDroppedWithAWarning) {
  Recording_Log log;
  EXPECT_EQ(0, dispatch(R"({"jsonrpc":"2.0","method":"no.such"})"));
  EXPECT_EQ(0u, rec->count_sent());
  EXPECT_EQ(1u, log.count(LM_WARNING, "no.such"));
}

TEST_F(DispatcherTest, RequestReachesItsHandlerWithIdMethodAndParams) {
  EXPECT_EQ(0, dispatch(
      R"({"params":{"b":[1,2]},"method":"echo","id":9,"jsonrpc":"2.0","x":{}})"));
  ASSERT_EQ(1u, echo.received.size());
  auto* r = dynamic_cast<JSON_RPC_Request*>(echo.received[0].get());
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(JSON_RPC_Object::JSON_RPC_REQUEST, r->type());
  EXPECT_EQ("echo", r->method);
  EXPECT_EQ(Value(9), r->id);
  EXPECT_EQ(parse(R"({"b":[1,2]})"), r->params);
  EXPECT_EQ(parse(R"({"jsonrpc":"2.0","id":9,"result":{"b":[1,2]}})"),
            rec->pop());
}

TEST_F(DispatcherTest, AbsentParamsArriveAsNullAndNullIdIsStillARequest) {
  dispatch(R"({"jsonrpc":"2.0","method":"echo","id":null})");
  ASSERT_EQ(1u, echo.received.size());
  auto* r = dynamic_cast<JSON_RPC_Request*>(echo.received[0].get());
  EXPECT_EQ(JSON_RPC_Object::JSON_RPC_REQUEST, r->type());
  EXPECT_TRUE(r->params.is_null());
  EXPECT_EQ(1u, rec->count_sent());
}

TEST_F(DispatcherTest, NotifyIsDeliveredAndGetsNoReply) {
  dispatch(R"({"jsonrpc":"2.0","method":"echo","params":[1]})");
  ASSERT_EQ(1u, echo.received.size());
  EXPECT_EQ(JSON_RPC_Object::JSON_RPC_NOTIFY, echo.received[0]->type());
  EXPECT_EQ(0u, rec->count_sent());
}

TEST_F(DispatcherTest, ResponsesAreNotDelivered) {
  EXPECT_EQ(0, dispatch(R"({"jsonrpc":"2.0","id":1,"result":true})"));
  EXPECT_EQ(0, dispatch(
      R"({"jsonrpc":"2.0","id":1,"error":{"code":1,"message":"x"}})"));
  EXPECT_EQ(0u, rec->count_sent());
  EXPECT_TRUE(echo.received.empty());
}

TEST_F(DispatcherTest, DeliveryCountsAsWorkOnTheChannel) {
  dispatch(R"({"jsonrpc":"2.0","method":"echo"})");
  EXPECT_EQ(1, rec->idle_count());
  dispatch("not json");
  EXPECT_EQ(2, rec->idle_count());
}

TEST_F(DispatcherTest, ParamsStreamIntoTheCreatedHandlerWhenMethodComesFirst) {
  dispatch(
      R"({"jsonrpc":"2.0","method":"job.create","params":{"id":"j1","n":[1,{"a":null}]},"id":4})");
  EXPECT_EQ(1, creator.created);
  EXPECT_EQ(1, creator.record.deleted);
  EXPECT_TRUE(creator.record.built);
  EXPECT_EQ(parse(R"({"id":"j1","n":[1,{"a":null}]})"), creator.record.params);
  // The id came after the params and was still known when the handler went.
  EXPECT_EQ(Value(4), creator.record.id_at_delete);
  EXPECT_EQ(JSON_RPC_Object::JSON_RPC_REQUEST, creator.record.type_at_delete);
  EXPECT_EQ("job.create", creator.record.method);
  EXPECT_EQ(0u, rec->count_sent());  // the handler answers, not the dispatcher
}

TEST_F(DispatcherTest, ParamsBeforeMethodAreBufferedThenReplayed) {
  dispatch(
      R"({"params":{"id":"j1","big":18446744073709551615,"s":"\u00e9"},"id":"x","method":"job.create","jsonrpc":"2.0"})");
  EXPECT_EQ(1, creator.created);
  EXPECT_EQ(parse(R"({"id":"j1","big":18446744073709551615,"s":"\u00e9"})"),
            creator.record.params);
  EXPECT_EQ(Value("x"), creator.record.id_at_delete);
  EXPECT_EQ(JSON_RPC_Object::JSON_RPC_REQUEST, creator.record.type_at_delete);
}

TEST_F(DispatcherTest, StreamedNotifyAndMissingParams) {
  dispatch(R"({"jsonrpc":"2.0","method":"job.create"})");
  EXPECT_EQ(1, creator.record.deleted);
  EXPECT_FALSE(creator.record.built);
  EXPECT_EQ(JSON_RPC_Object::JSON_RPC_NOTIFY, creator.record.type_at_delete);
  EXPECT_TRUE(creator.record.id_at_delete.is_null());
}

TEST_F(DispatcherTest, MessageBrokenAfterStreamedParamsIsMarkedInvalid) {
  dispatch(R"({"jsonrpc":"2.0","method":"job.create","params":{"id":"j"},"id":)");
  EXPECT_EQ(1, creator.record.deleted);
  EXPECT_EQ(JSON_RPC_Object::JSON_RPC_INVALID, creator.record.type_at_delete);
  EXPECT_TRUE(expect_error(-32700, "Parse error").is_null());
}

TEST_F(DispatcherTest, ParamsRefusedByTheirHandlerAreInvalidParams) {
  creator.refuse = true;
  dispatch(R"({"jsonrpc":"2.0","id":5,"method":"job.create","params":{"id":"x"}})");
  EXPECT_EQ(JSON_RPC_Object::JSON_RPC_INVALID, creator.record.type_at_delete);
  EXPECT_EQ(Value(5), expect_error(-32602, "Invalid params"));

  channel = Recording_Channel::make(&rec);  // buffered, then refused on replay
  dispatch(R"({"jsonrpc":"2.0","id":6,"params":{"id":"x"},"method":"job.create"})");
  EXPECT_EQ(Value(6), expect_error(-32602, "Invalid params"));
  EXPECT_EQ(2, creator.record.deleted);
}

TEST_F(DispatcherTest, ParamsBoundMethodWithBadVersionIsInvalid) {
  dispatch(R"({"jsonrpc":"3","method":"job.create","params":{},"id":2})");
  EXPECT_EQ(JSON_RPC_Object::JSON_RPC_INVALID, creator.record.type_at_delete);
  EXPECT_EQ(Value(2), expect_error(-32600, "Invalid Request"));
}

TEST(DispatcherBinding, AMethodIsBoundOnce) {
  JSON_RPC_Dispatcher d;
  Echo_Handler a, b;
  Recording_Creator c;
  EXPECT_TRUE(d.bind("m", &a));
  EXPECT_FALSE(d.bind("m", &b));
  EXPECT_FALSE(d.bind_params("m", &c));
  EXPECT_FALSE(d.bind("n", nullptr));
  EXPECT_EQ(&a, d.handler("m"));
}
