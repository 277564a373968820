// The REST and HTTP framework pieces handlers rely on: query strings,
// header names and codes, sessions. Method dispatch is checked through the
// clock endpoint's handler.
#include <gtest/gtest.h>

#include "agent/httpd/http_io.h"
#include "agent/restful/restful_handler.h"

namespace {

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
  EXPECT_STREQ("content-type", http_head_string(HTTP_HEADER_CONTENT_TYPE, 1));
  EXPECT_EQ(nullptr, http_head_string(HTTP_HEADER_OTHER, 0));
  EXPECT_EQ(nullptr, http_head_string(HTTP_HEADER_COUNT, 0));
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
