// The headers echo: its method check, the JSON body it streams, and how the
// body is cut into writes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "agent/json_spirit/json_spirit.h"
#include "tests/fakes/json_print.h"
#include "tests/fakes/recording_http_io.h"
#include "websvcs/common/frame/headers_echo_handler.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Headers;

int handle(Recording_HTTP_IO& io, const Headers& headers,
           const char* method = "GET") {
  io.request().set_method(method);
  for (const auto& h : headers) io.request().add_header(h.first, h.second);
  return HTTP_Headers_Echo_Handler().handle_request(&io);
}

bool ended_once(const Recording_HTTP_IO& io) {
  for (std::size_t i = 0; i + 1 < io.writes.size(); ++i)
    if (io.writes[i].last) return false;
  return !io.writes.empty() && io.writes.back().null_data &&
         io.writes.back().length == 0 && io.writes.back().last;
}

}  // namespace

TEST(HeadersEcho, AnswersTheHeadersInOrderAsAChunkedJsonObject) {
  const struct {
    Headers headers;
    const char* body;
  } cases[] = {
      {{}, "{}"},
      // Known names take the framework's spelling, others stay as received.
      {{{"content-type", "text/plain"}, {"X-Trace-id", "abc"},
        {"ACCEPT", "*/*"}, {"x-session-KEY", "k"}},
       R"({"Content-Type":"text/plain","X-Trace-id":"abc","Accept":"*/*",)"
       R"("X-Session-Key":"k"})"},
      {{{"X-Q", "say \"hi\" \\ caf\xC3\xA9"}, {"X-Empty", ""}},
       "{\"X-Q\":\"say \\\"hi\\\" \\\\ caf\xC3\xA9\",\"X-Empty\":\"\"}"},
      // A value that is not UTF-8 ends the list; the body stays JSON.
      {{{"X-A", "1"}, {"X-B", "bad\xFF"}, {"X-C", "3"}},
       R"({"X-A":"1","X-B":null})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    Recording_HTTP_IO io;
    EXPECT_EQ(0, handle(io, c.headers));
    EXPECT_EQ(c.body, io.body());
    EXPECT_TRUE(ended_once(io));
    EXPECT_TRUE(io.errors.empty());
    // The head goes out with the first body bytes, so it must be set by then.
    EXPECT_TRUE(io.head_at_first_write.is_set(HTTP_Response::CHUNKED));
    EXPECT_EQ("application/json", io.head_at_first_write.content_type());
  }
}

TEST(HeadersEcho, OnlyGetIsServed) {
  for (const char* method : {"POST", "HEAD", "PUT", "DELETE", "BREW"}) {
    SCOPED_TRACE(method);
    Recording_HTTP_IO io;
    EXPECT_EQ(-1, handle(io, {{"Accept", "*/*"}}, method));
    ASSERT_EQ(1u, io.errors.size());
    EXPECT_EQ(405, io.errors[0].status);
    EXPECT_TRUE(io.errors[0].null_reason && io.errors[0].null_body);
    EXPECT_TRUE(io.writes.empty());
  }
}

TEST(HeadersEcho, ManyLongHeadersStreamInFewLargeWrites) {
  const std::size_t block = 2048;
  Headers headers;
  json_spirit::Object expected;
  for (int i = 0; i < 60; ++i) {
    std::string name = "X-Long-" + std::to_string(i);
    std::string value(static_cast<std::size_t>(i * 397 % 5000 + 1),
                      static_cast<char>('a' + i % 26));
    headers.emplace_back(name, value);
    expected[name] = value;
  }
  Recording_HTTP_IO io;
  EXPECT_EQ(0, handle(io, headers));
  json_spirit::Value body;
  ASSERT_TRUE(json_spirit::read(io.body(), body));
  EXPECT_EQ(json_spirit::Value(expected), body);
  EXPECT_TRUE(ended_once(io));

  // Pieces larger than a block go out as whole blocks; held bytes go out
  // only when the next piece would not fit beside them, so no two
  // neighbouring writes could have been one.
  ASSERT_GT(io.writes.size(), 10u);
  for (std::size_t i = 0; i + 1 < io.writes.size(); ++i) {
    SCOPED_TRACE(i);
    const std::size_t n = io.writes[i].length;
    EXPECT_GT(n, 0u);
    EXPECT_TRUE(n <= block || n % block == 0) << n;
    if (i + 2 < io.writes.size()) {
      EXPECT_GT(n + io.writes[i + 1].length, block);
    }
  }
}
