#include "agent/wagent/http_rules.h"

#include <gtest/gtest.h>

#include <ctime>

#include "agent/platform/calendar.h"

namespace {

using namespace wagent;

TEST(Http_Rules, DatesMatchTheCLibraryAcrossLeapYearsAndCenturies) {
  // 1970, the leap days of 2000 and 2024, the non-leap 2100, late 2038.
  for (std::time_t t : {std::time_t(0), std::time_t(951782400), std::time_t(951868799),
                        std::time_t(1709164800), std::time_t(4107542400),
                        std::time_t(2147483647), std::time_t(2147483648LL),
                        std::time(nullptr)}) {
    std::tm tm{};
    ASSERT_TRUE(platform::utc_fields(t, tm));
    char want[40];
    std::strftime(want, sizeof want, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    EXPECT_EQ(want, http_date(t)) << t;
  }
}

TEST(Http_Rules, AbsoluteTargetsBecomeOriginForm) {
  EXPECT_EQ("/jsonrpc", origin_form("http://127.0.0.1:8580/jsonrpc"));
  EXPECT_EQ("/api/host/date?x=1", origin_form("HTTPS://h/api/host/date?x=1"));
  EXPECT_EQ("/?q", origin_form("http://h?q"));
  EXPECT_EQ("/", origin_form("http://h"));
  EXPECT_EQ("/", origin_form("http://h#frag"));
  EXPECT_EQ("/a://b", origin_form("/a://b"));  // already origin form
  EXPECT_EQ("1http://h/x", origin_form("1http://h/x"));  // not a scheme
  EXPECT_EQ("://h/x", origin_form("://h/x"));
}

TEST(Http_Rules, HeadsAreJudgedBeforeTheirBodies) {
  http::request_header<> head;
  head.version(11);
  head.method(http::verb::post);
  head.target("http://agent:8580/jsonrpc?a");
  EXPECT_EQ(Head_Verdict::bad_host, check_request_head(head, true));
  EXPECT_EQ("/jsonrpc?a", head.target());
  head.insert(http::field::host, "agent");
  EXPECT_EQ(Head_Verdict::serve, check_request_head(head, true));
  head.set(http::field::expect, "100-Continue");
  EXPECT_EQ(Head_Verdict::send_continue, check_request_head(head, true));
  // Nothing left to send: no reason to ask for it.
  EXPECT_EQ(Head_Verdict::serve, check_request_head(head, false));
  head.set(http::field::expect, "200-ok");
  EXPECT_EQ(Head_Verdict::bad_expect, check_request_head(head, true));
  head.erase(http::field::expect);
  head.insert(http::field::host, "again");
  EXPECT_EQ(Head_Verdict::bad_host, check_request_head(head, true));
  head.version(10);
  head.erase(http::field::host);
  EXPECT_EQ(Head_Verdict::serve, check_request_head(head, true));
}

}  // namespace
