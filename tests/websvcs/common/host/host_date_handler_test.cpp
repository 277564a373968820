// The clock endpoint: who may read and set it, what a refused request is
// told, what reaches the platform, and the audit event of every attempt.
// The platform is always the fake: the machine's clock is never touched.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "agent/eventutil/event_trigger.h"
#include "agent/platform/process_env.h"
#include "agent/text/time_text.h"
#include "agent/systemutil/system_actions.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/recording_audit_log.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/recording_rest_channel.h"
#include "websvcs/common/host/host_date_handler.h"

using json_spirit::Object;
using json_spirit::Value;

namespace {

Object date(const Value& v) { return Object{{"date", v}}; }

class HostDate : public ::testing::Test {
 protected:
  // A fixed zone an hour east of UTC without summer time, for this process.
  HostDate() { platform::set_environment("TZ", "CET-1"); ::tzset(); }
  ~HostDate() override { platform::take_environment("TZ"); ::tzset(); }
  int send(const char* method, const Value& body, bool signed_in = true) {
    channel.replies.clear();
    audit.events.clear();
    Parsed_Request request;
    request.method = method;
    request.body = body;
    request.client_addr = "192.0.2.7";
    request.peer_addr = "127.0.0.1";
    if (signed_in) request.session = Session_Ptr(new Session("k", "alice", 0));
    return handler.handle_request(channel, request);
  }

  // The one audit event a clock change leaves.
  static std::vector<Value> event(bool succeeded, const Object& values) {
    return {Object{{"code", "0x205000000010005"}, {"user", "alice"}, {"address", "192.0.2.7"},
                   {"succeeded", succeeded}, {"values", values}}};
  }

  Recording_Log log;
  Installed<Audit_Log, Recording_Audit_Log> audit;
  Installed<Platform_API, Fake_Platform> platform;
  Installed<System_Options, System_Options> system_mode{System_Options::SYSTEM};
  Recording_REST_Channel channel;
  JSON_RESTful_Host_Date_Handler handler;
};

}  // namespace

TEST_F(HostDate, RefusedRequestsChangeNothingAndSignedInPostsAreAudited) {
  const std::string unauthenticated = unauthenticated_reply();
  const char* const not_allowed = R"(405 -1 "Method not allowed.")";
  const struct {
    const char* method;
    bool signed_in;
    Value body;
    std::string reply;
    bool audited;
    Object values;  // bound to the event by then
  } cases[] = {
      {"GET", false, Value(), unauthenticated, false, {}},
      {"POST", false, date("2024-03-05T14:07:09Z"), unauthenticated, false, {}},
      {"PUT", true, date("2024-03-05T14:07:09Z"), not_allowed, false, {}},
      {"BREW", true, Value(), not_allowed, false, {}},
      {"POST", true, Value("2024-03-05T14:07:09Z"),
       R"(400 -1 "Request body is expected as JSON object.")", true, {}},
      {"POST", true, date(20240305), R"(400 -1 "'date' is expected as string in request body.")",
       true, {}},
      {"POST", true, date("yesterday"), R"(400 -1 "Invalid datetime format.")", true,
       {{"datetime", "yesterday"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(json_spirit::JSON_Dump(c.body, false));
    send(c.method, c.body, c.signed_in);
    EXPECT_EQ(std::vector<std::string>{c.reply}, channel.replies);
    EXPECT_EQ(c.audited ? event(false, c.values) : std::vector<Value>(), audit.events);
  }
  EXPECT_TRUE(platform.calls().empty());
}

TEST_F(HostDate, GetAnswersTheCurrentTimeInUtc) {
  const std::int64_t before = std::time(nullptr);
  send("GET", Value());
  ASSERT_EQ(1u, channel.replies.size());
  const std::string text = parse_json(channel.replies[0]).get_obj().at("date").get_str();
  // Read back as UTC it is now; local time would be an hour off.
  std::int64_t t = 0;
  ASSERT_TRUE(iso8601_to_posix_time(text.c_str(), t) && text.size() == 19) << text;
  EXPECT_TRUE(before <= t && t <= std::time(nullptr)) << text;
}

TEST_F(HostDate, ValidDatesGoToTheClockInUtcAndAreAuditedInLocalTime) {
#ifdef _WIN32  // Windows' own codes, with the system's texts for them
  const char* const refused = "Set system time failed, errno=1, ";
  const char* const invalid = "Set system time failed, errno=87, ";
#else
  const char* const refused = "Set system time failed, errno=1, Operation not permitted\n";
  const char* const invalid = "Set system time failed, errno=22, Invalid argument\n";
#endif
  const struct {
    const char* sent;
    bool clock_ok;
    const char* platform_call;  // none when no clock can show the time
    const char* error_line;
    const char* local;
  } cases[] = {
      {"2024-03-05T14:07:09Z", true, "set_time 2024-03-05 14:07:09", nullptr,
       "2024-03-05 15:07:09"},
      {"2024-12-31 23:30:00.75-01:00", true, "set_time 2025-01-01 00:30:00", nullptr,
       "2025-01-01 01:30:00"},
      {"2024-03-05T14:07:09Z", false, "set_time 2024-03-05 14:07:09", refused,
       "2024-03-05 15:07:09"},
      {"1600-12-31T23:00:00Z", false, nullptr, invalid, "1601-01-01 00:00:00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    platform.set_time_ok = c.clock_ok;
    const std::size_t calls_before = platform.calls().size();
    send("POST", date(c.sent));
    // Success has no body: the host answers 204.
    EXPECT_EQ(c.error_line ? std::vector<std::string>{"500 -1"} : std::vector<std::string>(),
              channel.replies);
    EXPECT_TRUE(!c.error_line || log.count(LM_ERROR, c.error_line) == 1);
    ASSERT_EQ(calls_before + (c.platform_call ? 1 : 0), platform.calls().size());
    if (c.platform_call) {
      EXPECT_EQ(c.platform_call, platform.calls().back());
      EXPECT_EQ(0, platform.last_time.wMilliseconds);
    }
    EXPECT_EQ(event(c.clock_ok, Object{{"datetime", c.local}}), audit.events);
  }
}
