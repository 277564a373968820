// The headers echo: the JSON body it streams and the head it sets first.
// Its method check is seen end to end.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/fakes/recording_http_io.h"
#include "websvcs/common/frame/headers_echo_handler.h"

typedef std::vector<std::pair<std::string, std::string>> Headers;

TEST(HeadersEcho, AnswersTheHeadersInOrderAsAChunkedJsonObject) {
  const struct { Headers headers; std::string body; } cases[] = {
      {{}, "{}"},
      // Known names take the framework's spelling, others stay as received.
      {{{"content-type", "text/plain"}, {"X-Trace-id", "abc"},
        {"ACCEPT", "*/*"}, {"x-session-KEY", "k"}},
       R"({"Content-Type":"text/plain","X-Trace-id":"abc","Accept":"*/*",)"
       R"("X-Session-Key":"k"})"},
      {{{"X-Q", "say \"hi\" \\ caf\xC3\xA9"}, {"X-Empty", ""}},
       "{\"X-Q\":\"say \\\"hi\\\" \\\\ caf\xC3\xA9\",\"X-Empty\":\"\"}"},
      // Longer than the printer's block.
      {{{"X-Long", std::string(5000, 'x')}},
       "{\"X-Long\":\"" + std::string(5000, 'x') + "\"}"},
      // A value that is not UTF-8 ends the list; the body stays JSON.
      {{{"X-A", "1"}, {"X-B", "bad\xFF"}, {"X-C", "3"}},
       R"({"X-A":"1","X-B":null})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 60));
    Recording_HTTP_IO io;
    io.request().set_method("GET");
    for (const auto& h : c.headers) io.request().add_header(h.first, h.second);
    HTTP_Headers_Echo_Handler().handle_request(&io);
    EXPECT_EQ(c.body, io.body());
    EXPECT_TRUE(io.errors.empty());
    EXPECT_TRUE(io.writes.back().last);
    // The head goes out with the first body bytes, so it must be set by then.
    EXPECT_TRUE(io.head_at_first_write.is_set(HTTP_Response::CHUNKED));
    EXPECT_EQ("application/json", io.head_at_first_write.content_type());
  }
}
