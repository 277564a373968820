// The HTTP client against a loopback server: a file lands whole only after
// a 2xx; every failure (status, cut connection, untrusted certificate,
// redirects too many or elsewhere) leaves no file, stale or partial.
#include <gtest/gtest.h>

#include "agent/clntio/http_client.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/temp_dir.h"
#include "tests/support/file_server.h"
#include "tests/support/files.h"

using wire::File_Server;

TEST(HttpClient, AFileLandsOnlyWhenItArrivedWholeWithA2xx) {
  Recording_Log quiet;  // failures are logged; keep them off the output
  File_Server plain, tls(true);
  const std::string body(300000, 'b');
  for (File_Server* s : {&plain, &tls}) s->serve("/f", {200, body, "", std::string::npos});
  plain.serve("/404", {404, "missing", "", std::string::npos});
  plain.serve("/cut", {200, body, "", 1000});
  plain.serve("/r", {302, "", "/f", std::string::npos});
  for (int i = 1; i <= 4; ++i)  // one hop more than the session allows
    plain.serve("/r" + std::to_string(i), {302, "", i < 4 ? "/r" + std::to_string(i + 1) : "/f",
                                           std::string::npos});
  plain.serve("/away", {302, "", "http://127.0.0.2:" + std::to_string(plain.port()) + "/f",
                        std::string::npos});

  const struct {
    File_Server* server;
    bool trust;  // the session is given the server's certificate
    const char* target;
    bool lands;
  } cases[] = {
      {&plain, false, "/f", true},      {&plain, false, "/404", false},
      {&plain, false, "/cut", false},   {&tls, true, "/f", true},
      {&tls, false, "/f", false},       {&plain, false, "/r", true},
      {&plain, false, "/r1", false},    {&plain, false, "/away", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.target) + (c.server == &tls ? " over TLS" : ""));
    Temp_Dir dir;
    const std::string target = dir.write("tool", "stale");
    auto session = clntio::HTTP_Session_Factory::create(
        "127.0.0.1", c.server->port(), c.server == &tls, nullptr, 3,
        c.trust ? c.server->ca_file().c_str() : nullptr, false, 10, 10, 0, 0);
    clntio::HTTP_Request request(3, c.target, false);
    ASSERT_TRUE(request.headers().put(clntio::HTTP_HEADER_X_ACCESS_KEY, "K1", true));

    EXPECT_EQ(c.lands, clntio::http_session_get_file(session, request, target));
    if (c.lands) {
      EXPECT_TRUE(read_file(target) == body);
      EXPECT_EQ(std::vector<std::string>{"tool"}, names_below(dir.path()));
    } else {
      EXPECT_TRUE(names_below(dir.path()).empty());
    }
  }
  // The key went with every request the server saw, redirects included.
  for (const auto& seen : plain.requests())
    EXPECT_EQ(std::optional<std::string>("K1"), seen.access_key) << seen.target;
}

TEST(HttpClient, DownloadNamesAreTheLastSegmentAndNeverLeaveTheFolder) {
  const struct {
    std::string uri;
    const char* name;  // null: refused
  } cases[] = {
      {"/files/tool.sh", "tool.sh"}, {"tool", "tool"},   {"x/..", nullptr},
      {"x/", nullptr},               {"..", nullptr},    {"a/.", nullptr},
      {"a\\..\\b", nullptr},         {std::string("a\0b", 3), nullptr},
  };
  for (const auto& c : cases) {
    std::string name = "unchanged";
    EXPECT_EQ(c.name != nullptr, clntio::download_file_name(c.uri, name)) << c.uri;
    EXPECT_EQ(c.name ? c.name : "unchanged", name);
  }
}
