// The REST framework pieces handlers rely on: query strings, the caller
// mask, session keys. Method dispatch is checked through the clock endpoint's
// handler, header names and codes through the headers echo.
#include <gtest/gtest.h>

#include "agent/restful/restful_handler.h"

namespace {

TEST(RESTful_Handler, QueryStringsAreDecoded) {
  std::map<std::string, std::string> p;
  parse_query_string("action=show_pool&uuid=a%2Db&name=two+words&flag&"
                     "bad=%zz&=nameless&action=resync_usage&empty=",
                     p);
  EXPECT_EQ((std::map<std::string, std::string>{{"action", "resync_usage"},  // the last wins
                                                 {"uuid", "a-b"}, {"name", "two words"},
                                                 {"flag", ""}, {"bad", "%zz"}, {"empty", ""}}),
            p);
}

// Answers 200 whenever the framework lets a caller through.
class Open_Endpoint : public JSON_RESTful_Handler_Impl2 {
 public:
  explicit Open_Endpoint(std::uint64_t mask) : JSON_RESTful_Handler_Impl2(mask, 0) {}
  int handle_get(JSON_RESTful_Channel& channel, Parsed_Request&) override {
    return channel.reply_json(json_spirit::Value(true));
  }
};

class Status_Channel : public JSON_RESTful_Channel {
 public:
  int reply_json(const json_spirit::Value&) override { return status = 200; }
  int reply_status(int s, int) override { return status = s; }
  int reply_status(int s, int, const char*) override { return status = s; }
  int status = 0;
};

TEST(RESTful_Handler, TheMaskNamesTheCallersAnEndpointServes) {
  const std::uint64_t ALL = ~std::uint64_t(0);
  const struct {
    bool signed_in;
    const char* peer;
    bool forwarded;
    int mask_32, mask_7, mask_27, mask_all;  // status for each mask
  } cases[] = {
      {true, "127.0.0.1", false, 200, 200, 200, 200},
      {true, "::1", false, 200, 200, 200, 200},
      {true, "::ffff:127.0.0.2", false, 200, 200, 200, 200},
      {true, "127.0.0.1", true, 403, 200, 200, 200},   // through a local proxy
      {true, "10.0.0.5", false, 403, 403, 200, 200},   // another machine
      {true, "", false, 403, 403, 200, 200},           // no socket address
      {false, "127.0.0.1", false, 401, 200, 200, 200},
      {false, "127.0.0.1", true, 401, 401, 200, 200},
      {false, "192.168.1.9", false, 401, 200, 401, 200},
      {false, "fe80::1", false, 401, 200, 401, 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.peer) + (c.forwarded ? " forwarded" : "") +
                 (c.signed_in ? " signed in" : ""));
    const std::pair<std::uint64_t, int> expected[] = {
        {32, c.mask_32}, {7, c.mask_7}, {27, c.mask_27}, {ALL, c.mask_all}};
    for (const auto& e : expected) {
      Parsed_Request request;
      request.method = "GET";
      request.peer_addr = c.peer;
      request.forwarded = c.forwarded;
      if (c.signed_in) request.session = Session_Ptr(new Session("k", "alice", 0));
      Status_Channel channel;
      Open_Endpoint(e.first).handle_request(channel, request);
      EXPECT_EQ(e.second, channel.status) << "mask " << e.first;
    }
  }
}

// What a session allows, and whose it is, is seen through the power
// handlers' and the dispatcher's tests.
TEST(Session_Manager, AKeyIsAddedOnceAndNeverEmpty) {
  Session_Manager sessions;
  EXPECT_TRUE(sessions.add_session("k1", "alice", 0xC000000000000000ULL));
  EXPECT_FALSE(sessions.add_session("k1", "bob", 0));
  EXPECT_FALSE(sessions.add_session("", "bob", 0));
}

}  // namespace
