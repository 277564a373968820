// Registration news, reboot and shutdown: the outside calls each makes, in
// order, and what refuses them. The power calls reach the fake platform.
#include <gtest/gtest.h>

#include "agent/modsess/session.h"
#include "agent/systemutil/system_actions.h"
#include "tests/fakes/fake_host_manager.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/recording_audit_log.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/recording_upstream.h"
#include "websvcs/common/host/host_registered_handler.h"
#include "websvcs/common/host/host_unregistered_handler.h"
#include "websvcs/common/host/reboot_handler.h"
#include "websvcs/common/host/shutdown_handler.h"

using json_spirit::Value;
using Journal = std::vector<std::string>;

namespace {

const int NOTIFY = JSON_RPC_Object::JSON_RPC_NOTIFY;
const int REQUEST = JSON_RPC_Object::JSON_RPC_REQUEST;

JSON_RPC_Object_Ptr object(int type, const std::string& params = "") {
  JSON_RPC_Request* r = new JSON_RPC_Request(type);
  r->id = type == REQUEST ? Value(7) : Value();
  EXPECT_TRUE(params.empty() || json_spirit::read(params, r->params)) << params;
  return JSON_RPC_Object_Ptr(r);
}

}  // namespace

TEST(Registration, StoresOrClearsTheKeyThenResetsLogsAndNotifiesWithTheChannel) {
  Journal journal;
  Installed<Host_Manager, Fake_Host_Manager> host;
  host.journal = &journal;
  Installed<Upstream_JSON_RESTful_Client, Recording_Upstream_Client> client;
  Installed<WebSocket_Event_Manager, Recording_WebSocket_Event_Manager> events;
  Recording_Log log;
  log.journal = client.journal = events.journal = &journal;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);

  JSON_RPC_Host_Registered_Handler registered;
  JSON_RPC_Host_Unregistered_Handler unregistered;
  const std::string in = "log Channel " + host.uuid_text + " is ";
  const Journal stored = {"access_key(K1)", "reset", in + "registered.\n", "notify_registered"};
  const Journal cleared = {"access_key()", "reset", in + "unregistered.\n", "notify_unregistered"};
  const std::string refused = R"({"error":{"code":-32602,"message":"Invalid params: params )"
                              R"(type must be string."},"id":null,"jsonrpc":"2.0"})";
  const struct {
    JSON_RPC_Handler* handler;
    JSON_RPC_Object_Ptr object;
    int result;
    Journal calls;
    std::string reply;
  } cases[] = {
      {&registered, object(NOTIFY, "\"K1\""), 0, stored, "null"},
      {&registered, object(NOTIFY, "{\"key\":\"K1\"}"), 0, {}, refused},
      {&registered, object(NOTIFY), 0, {}, refused},
      {&registered, object(REQUEST, "\"K1\""), -1, {"log not a notify"}, "null"},
      {&unregistered, object(NOTIFY), 0, cleared, "null"},
      {&unregistered, object(REQUEST, "[1]"), 0, cleared, "null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    journal.clear();
    events.channels.clear();
    EXPECT_EQ(c.result, c.handler->handle_object(JSON_RPC_Channel_WPtr(channel), c.object));
    for (std::string& entry : journal)  // the line names the handler's file
      if (entry.find("obj is not JSON-RPC notify!") != std::string::npos) entry = "log not a notify";
    EXPECT_EQ(c.calls, journal);
    EXPECT_EQ(c.reply, json_spirit::JSON_Dump(rec->pop(), false));
    if (c.calls.size() == 4) {
      EXPECT_EQ(std::vector<JSON_RPC_Channel*>{channel.get()}, events.channels);
    }
  }
  // A requester that has gone changes nothing.
  JSON_RPC_Channel_WPtr gone(Recording_Channel::make(nullptr));
  for (JSON_RPC_Handler* h : std::vector<JSON_RPC_Handler*>{&registered, &unregistered}) {
    journal.clear();
    EXPECT_EQ(-1, h->handle_object(gone, object(NOTIFY, "\"K2\"")));
    EXPECT_EQ(Journal{"log Abort handling JSON-RPC request, requester has gone.\n"}, journal);
  }
}

TEST(PowerHandlers, RefuseInOrderThenAuditAndCallTheSystemBeforeAnswering) {
  Recording_Log log;
  Installed<Audit_Log, Recording_Audit_Log> audit;
  Installed<Platform_API, Fake_Platform> platform;
  Installed<System_Options, System_Options> system{System_Options::DRY_RUN, System_Options::SYSTEM};
  Installed<Session_Manager, Session_Manager> sessions;
  sessions.add_session("all", "alice", 0xC000000000000000ULL | 0xFFFF);  // more than needed
  sessions.add_session("high", "bob", 0x8000000000000000ULL);
  sessions.add_session("low", "carol", 0x4000000000000000ULL | 0xFFFF);

  JSON_RPC_Reboot_Handler reboot;
  JSON_RPC_Shutdown_Handler shutdown;
  const struct {
    JSON_RPC_Handler* handler;
    const char* call;    // on the platform
    const char* code;    // of the audit event
    const char* failed;  // the answer when the system refuses
  } kinds[] = {
      {&reboot, "power reboot", "0x205000000010001", "Failed to reboot system."},
      {&shutdown, "power shutdown", "0x205000000010002", "Failed to shutdown system."},
  };
  const struct {
    int type;
    const char* session;
    bool address;
    bool system_ok;
    const char* error;  // "" for the kind's failure message, null for success
  } cases[] = {
      {REQUEST, "", true, true, "Unauthenticated."},
      {NOTIFY, "nobody", true, true, "Unauthenticated."},
      {REQUEST, "high", true, true, "Forbidden."},
      {NOTIFY, "low", true, true, "Forbidden."},
      {REQUEST, "all", false, true, "Internal error: failed to get original remote address."},
      {REQUEST, "all", true, false, ""},
      {NOTIFY, "all", true, false, ""},
      {REQUEST, "all", true, true, nullptr},
      {NOTIFY, "all", true, true, nullptr},
  };
  for (const auto& k : kinds) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(k.call) + " case " + std::to_string(&c - cases));
      Recording_Channel* rec;
      JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
      rec->set_session_key(c.session);
      if (c.address) rec->set_remote_address(ACE_INET_Addr(8580, "192.0.2.7"));
      audit.events.clear();
      const std::size_t calls_before = platform.calls().size();
      platform.power_ok = c.system_ok;

      EXPECT_EQ(0, k.handler->handle_object(JSON_RPC_Channel_WPtr(channel), object(c.type)));
      std::string expected = c.type == REQUEST ? R"({"id":7,"jsonrpc":"2.0","result":true})" : "null";
      if (c.error)
        expected = std::string(R"({"error":{"code":-32603,"message":")") + (*c.error ? c.error : k.failed) +
                   R"("},"id":)" + (c.type == REQUEST ? "7" : "null") + R"(,"jsonrpc":"2.0"})";
      EXPECT_EQ(expected, json_spirit::JSON_Dump(rec->pop(), false));
      // Audited (and succeeded) once past the checks, even when the system then fails.
      const bool audited = !c.error || !*c.error;
      const Value event = json_spirit::Object{{"code", k.code}, {"address", "192.0.2.7"}, {"user", "alice"},
                                              {"succeeded", true}, {"values", json_spirit::Object()}};
      EXPECT_EQ(audited ? std::vector<Value>{event} : std::vector<Value>(), audit.events);
      ASSERT_EQ(calls_before + audited, platform.calls().size());
      if (audited) {
        EXPECT_EQ(k.call, platform.calls().back());
      }
    }
    // A response object is refused before anything else.
    EXPECT_EQ(-1, k.handler->handle_object(JSON_RPC_Channel_WPtr(),
                                           JSON_RPC_Object_Ptr(new JSON_RPC_Response)));
  }
  EXPECT_EQ(2u, log.count(LM_EMERGENCY, "obj is neither JSON-RPC request nor notify!"));
}

// Params that are an object may put the action off or cancel it; bad ones
// change nothing, and a pending action is cancelled once.
TEST(PowerHandlers, DelayAndCancelArePendingOnlyUntilCancelledAndBadParamsChangeNothing) {
  Installed<Audit_Log, Recording_Audit_Log> audit;
  Installed<Platform_API, Fake_Platform> platform;
  Installed<System_Options, System_Options> system{System_Options::DRY_RUN, System_Options::SYSTEM};
  Installed<Session_Manager, Session_Manager> sessions;
  sessions.add_session("all", "alice", 0xC000000000000000ULL);
  JSON_RPC_Reboot_Handler reboot;
  auto send = [&](const std::string& params) {
    Recording_Channel* rec;
    JSON_RPC_Channel_Ptr channel = Recording_Channel::make(&rec);
    rec->set_session_key("all");
    rec->set_remote_address(ACE_INET_Addr(8580, "192.0.2.7"));
    reboot.handle_object(JSON_RPC_Channel_WPtr(channel), object(REQUEST, params));
    return json_spirit::JSON_Dump(rec->pop(), false);
  };
  auto error = [](const std::string& message) {
    return R"({"error":{"code":-32602,"message":"Invalid params: )" + message +
           R"("},"id":7,"jsonrpc":"2.0"})";
  };
  const std::string whole = "'delay' must be a whole number of seconds, 0 or more.";
  for (const auto& [params, message] : std::vector<std::pair<std::string, std::string>>{
           {R"({"delay":-1})", whole},
           {R"({"delay":1.5})", whole},
           {R"({"delay":"5"})", whole},
           {R"({"cancel":1})", "'cancel' must be true or false."},
           {R"({"force":"yes"})", "'force' must be true or false."},
           {R"({"cancel":true,"delay":5})", "'cancel' takes no 'delay'."}}) {
    EXPECT_EQ(error(message), send(params)) << params;
  }
  EXPECT_TRUE(audit.events.empty());
  EXPECT_TRUE(platform.calls().empty());

  const std::string yes = R"({"id":7,"jsonrpc":"2.0","result":true})";
  EXPECT_EQ(yes, send(R"({"delay":3600})"));
  EXPECT_EQ(yes, send(R"({"cancel":true})"));
  EXPECT_EQ(R"({"id":7,"jsonrpc":"2.0","result":false})", send(R"({"cancel":true})"));
  EXPECT_TRUE(platform.calls().empty());
  auto event = [](const json_spirit::Object& values, bool succeeded) {
    return Value(json_spirit::Object{{"code", "0x205000000010001"}, {"address", "192.0.2.7"},
                                     {"user", "alice"}, {"succeeded", succeeded},
                                     {"values", values}});
  };
  EXPECT_EQ((std::vector<Value>{event({{"delay", 3600}}, true), event({{"cancel", true}}, true),
                                event({{"cancel", true}}, false)}),
            audit.events);
  // No delay: at once, as without params.
  EXPECT_EQ(yes, send(R"({"delay":0,"cancel":false})"));
  EXPECT_EQ(std::vector<std::string>{"power reboot"}, platform.calls());
}
