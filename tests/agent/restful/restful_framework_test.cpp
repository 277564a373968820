// The REST and HTTP framework pieces handlers rely on: method dispatch and
// its 405 default, query strings, header names and codes.
#include <gtest/gtest.h>

#include "agent/httpd/http_io.h"
#include "agent/restful/restful_handler.h"

namespace {

class Recording_Reply : public JSON_RESTful_Channel {
 public:
  int reply_json(const json_spirit::Value&) override {
    calls.push_back("json");
    return 0;
  }
  int reply_status(int status, int code) override {
    calls.push_back(std::to_string(status) + " " + std::to_string(code));
    return 0;
  }
  int reply_status(int status, int code, const char* message) override {
    calls.push_back(std::to_string(status) + " " + std::to_string(code) + " " +
                    message);
    return 0;
  }
  std::vector<std::string> calls;
};

class Get_Only : public JSON_RESTful_Handler_Impl2 {
 public:
  Get_Only() : JSON_RESTful_Handler_Impl2(7, 0) {}
  int handle_get(JSON_RESTful_Channel& channel, Parsed_Request&) override {
    return channel.reply_json(json_spirit::Object());
  }
};

TEST(RESTful_Handler, RoutesByMethodAndRefusesTheRest) {
  struct Case {
    const char* method;
    const char* reply;
  } cases[] = {{"GET", "json"},
               {"POST", "405 -1 Method not allowed."},
               {"PUT", "405 -1 Method not allowed."},
               {"DELETE", "405 -1 Method not allowed."},
               {"HEAD", "405 -1 Method not allowed."},
               {"BREW", "405 -1 Method not allowed."}};
  for (const Case& c : cases) {
    Get_Only handler;
    Recording_Reply reply;
    Parsed_Request request;
    request.method = c.method;
    handler.handle_request(reply, request);
    ASSERT_EQ(1u, reply.calls.size()) << c.method;
    EXPECT_EQ(c.reply, reply.calls[0]) << c.method;
  }
  EXPECT_EQ(7u, Get_Only().mask());
}

TEST(RESTful_Handler, QueryStringsAreDecoded) {
  std::map<std::string, std::string> p;
  parse_query_string("action=show_pool&uuid=a%2Db&name=two+words&flag&"
                     "bad=%zz&=nameless&action=resync_usage&empty=",
                     p);
  EXPECT_EQ("resync_usage", p["action"]);  // the last repeat wins
  EXPECT_EQ("a-b", p["uuid"]);
  EXPECT_EQ("two words", p["name"]);
  EXPECT_EQ("", p["flag"]);
  EXPECT_EQ("%zz", p["bad"]);
  EXPECT_EQ("", p["empty"]);
  EXPECT_EQ(0u, p.count(""));
}

TEST(HTTP_Framework, HeaderNamesAndMethodCodes) {
  EXPECT_STREQ("Content-Type", http_head_string(HTTP_HEADER_CONTENT_TYPE, 0));
  EXPECT_STREQ("content-type", http_head_string(HTTP_HEADER_CONTENT_TYPE, 1));
  EXPECT_EQ(nullptr, http_head_string(HTTP_HEADER_OTHER, 0));
  EXPECT_EQ(nullptr, http_head_string(HTTP_HEADER_COUNT, 0));
  EXPECT_EQ(HTTP_HEADER_USER_AGENT, http_head_code("USER-agent"));
  EXPECT_EQ(HTTP_HEADER_OTHER, http_head_code("X-Custom"));
  EXPECT_EQ(3, http_method_code("GET"));
  EXPECT_EQ(HTTP_METHOD_OTHER, http_method_code("get"));

  HTTP_Request r;
  r.set_method("POST");
  r.set_uri("/debug/headers?a=1?b");
  r.add_header("x-custom", "1");
  r.add_header("HOST", "h");
  EXPECT_EQ(HTTP_METHOD_POST, r.method());
  EXPECT_EQ("/debug/headers", r.path());
  EXPECT_EQ("a=1?b", r.query());
  ASSERT_EQ(2u, r.headers().size());
  EXPECT_EQ(HTTP_HEADER_OTHER, r.headers()[0].code);
  EXPECT_EQ(HTTP_HEADER_HOST, r.headers()[1].code);
  ASSERT_NE(nullptr, r.header("host"));
  EXPECT_EQ("h", *r.header("host"));
}

}  // namespace

namespace {

TEST(Session_Manager, KnownKeysGiveTheirUserAndPermissions) {
  Session_Manager sessions;
  EXPECT_TRUE(sessions.add_session("k1", "alice", 0xC000000000000000ULL));
  EXPECT_FALSE(sessions.add_session("k1", "bob", 0));
  EXPECT_FALSE(sessions.add_session("", "bob", 0));
  EXPECT_TRUE(sessions.load_session("nope").null());
  Session_Ptr s = sessions.load_session("k1");
  ASSERT_FALSE(s.null());
  EXPECT_EQ("alice", s->uid());
  EXPECT_TRUE(s->check_perms(0xC000000000000000ULL, false));
  EXPECT_TRUE(s->check_perms(0x8000000000000000ULL, false));
  EXPECT_FALSE(s->check_perms(0xC000000000000001ULL, false));
  EXPECT_TRUE(s->check_perms(0xC000000000000001ULL, true));
  EXPECT_FALSE(s->check_perms(0x1ULL, true));
}

}  // namespace
