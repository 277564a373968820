// The clock endpoint: who may read and set it, what a refused request is
// told, what reaches the platform, and the audit event of every attempt.
// The platform is always the fake: the machine's clock is never touched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "agent/eventutil/event_trigger.h"
#include "agent/platform/service_instance.h"
#include "agent/mdrt/time_text.h"
#include "agent/systemutil/system_actions.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/recording_rest_channel.h"
#include "websvcs/common/host/host_date_handler.h"

using json_spirit::Object;
using json_spirit::Value;

namespace {

class Recording_Audit_Log : public Audit_Log {
 public:
  bool append(const Value& event) override {
    events.push_back(event);
    return true;
  }
  std::vector<Value> events;
};

// A fixed zone an hour east of UTC without summer time; the old zone comes
// back after.
class Zone_Guard {
 public:
  Zone_Guard() : had_(std::getenv("TZ") != nullptr) {
    if (had_) old_ = std::getenv("TZ");
    ::setenv("TZ", "CET-1", 1);
    ::tzset();
  }
  ~Zone_Guard() {
    had_ ? ::setenv("TZ", old_.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
  }

 private:
  bool had_;
  std::string old_;
};

Object date(const Value& v) { return Object{{"date", v}}; }

class HostDate : public ::testing::Test {
 protected:
  int send(const char* method, const Value& body, bool signed_in = true) {
    channel.replies.clear();
    audit.events.clear();
    log.clear();
    Parsed_Request request;
    request.method = method;
    request.body = body;
    request.client_addr = "192.0.2.7";
    if (signed_in) request.session = Session_Ptr(new Session("k", "alice", 0));
    return handler.handle_request(channel, request);
  }

  // The only reply is an error; `message` null when it must have none.
  void expect_status(int status, const char* message) {
    ASSERT_EQ(1u, channel.replies.size());
    const auto& r = channel.replies[0];
    EXPECT_FALSE(r.is_json);
    EXPECT_EQ(status, r.status);
    EXPECT_EQ(-1, r.code);
    EXPECT_EQ(message != nullptr, r.has_message);
    EXPECT_EQ(message ? message : "", r.message);
  }

  void expect_event(bool succeeded, const Object& values) {
    ASSERT_EQ(1u, audit.events.size());
    const Object& e = audit.events[0].get_obj();
    EXPECT_EQ(Value("0x205000000010005"), e.at("code"));
    EXPECT_EQ(Value("alice"), e.at("user"));
    EXPECT_EQ(Value("192.0.2.7"), e.at("address"));
    EXPECT_EQ(Value(succeeded), e.at("succeeded"));
    EXPECT_EQ(Value(values), e.at("values"));
  }

  Zone_Guard zone;
  Recording_Log log;
  Recording_Audit_Log audit;
  Scoped_Instance_T<Audit_Log> audit_guard{&audit};
  Fake_Platform platform;
  Scoped_Instance_T<Platform_API> platform_guard{&platform};
  System_Options system_mode{System_Options::SYSTEM};
  Scoped_Instance_T<System_Options> system_guard{&system_mode};
  Recording_REST_Channel channel;
  JSON_RESTful_Host_Date_Handler handler;
};

}  // namespace

TEST_F(HostDate, SignedOutUsersAndOtherMethodsGetNothingDone) {
  const struct {
    const char* method;
    bool signed_in;
    int status;
    const char* message;
  } cases[] = {
      {"GET", false, 401, "User is not authenticated."},
      {"POST", false, 401, "User is not authenticated."},
      {"PUT", true, 405, "Method not allowed."},
      {"DELETE", true, 405, "Method not allowed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    send(c.method, date("2024-03-05T14:07:09Z"), c.signed_in);
    expect_status(c.status, c.message);
    EXPECT_TRUE(audit.events.empty());
  }
  EXPECT_TRUE(platform.calls().empty());
}

TEST_F(HostDate, GetAnswersTheCurrentTimeInUtc) {
  const std::int64_t before = std::time(nullptr);
  send("GET", Value());
  const std::int64_t after = std::time(nullptr);
  ASSERT_EQ(1u, channel.replies.size());
  const Object& reply = channel.replies[0].value.get_obj();
  ASSERT_EQ(1u, reply.size());
  const std::string& text = reply.at("date").get_str();
  ASSERT_EQ(19u, text.size()) << text;
  EXPECT_EQ(' ', text[10]);
  // Read back as UTC it is now; local time would be an hour off.
  std::int64_t t = 0;
  ASSERT_TRUE(iso8601_to_posix_time(text.c_str(), t)) << text;
  EXPECT_TRUE(before <= t && t <= after) << text;
}

TEST_F(HostDate, RefusedBodiesAreAnsweredAndAuditedAsFailures) {
  const char* const not_object = "Request body is expected as JSON object.";
  const char* const no_date = "'date' is expected as string in request body.";
  const char* const bad = "Invalid datetime format.";
  const struct {
    Value body;
    const char* message;
    Object values;  // bound to the event by then
  } cases[] = {
      {json_spirit::Array{Value("2024-03-05T14:07:09Z")}, not_object, {}},
      {Value(), not_object, {}},
      {Value("2024-03-05T14:07:09Z"), not_object, {}},
      {Object{}, no_date, {}},
      {date(20240305), no_date, {}},
      {date(Value()), no_date, {}},
      {date("yesterday"), bad, {{"datetime", "yesterday"}}},
      {date("2024-02-30T00:00:00Z"), bad, {{"datetime", "2024-02-30T00:00:00Z"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(json_spirit::JSON_Dump(c.body, false));
    send("POST", c.body);
    expect_status(400, c.message);
    expect_event(false, c.values);
  }
  EXPECT_TRUE(platform.calls().empty());
}

TEST_F(HostDate, GoodDateSetsTheClockInUtcAndAuditsTheLocalTime) {
  const struct {
    const char* sent;
    const char* platform_call;
    WORD day_of_week;
    const char* local;
  } cases[] = {
      {"2024-03-05T14:07:09Z", "set_time 2024-03-05 14:07:09", 2,
       "2024-03-05 15:07:09"},
      {"2024-12-31 23:30:00.75-01:00", "set_time 2025-01-01 00:30:00", 3,
       "2025-01-01 01:30:00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    EXPECT_EQ(0, send("POST", date(c.sent)));
    EXPECT_TRUE(channel.replies.empty());
    EXPECT_EQ(c.platform_call, platform.calls().back());
    EXPECT_EQ(c.day_of_week, platform.last_time.wDayOfWeek);
    EXPECT_EQ(0, platform.last_time.wMilliseconds);
    expect_event(true, Object{{"datetime", c.local}});
  }
  EXPECT_EQ(2u, platform.calls().size());
}

TEST_F(HostDate, ClockThatWillNotChangeAnswers500AndLogsWhy) {
  platform.set_time_ok = false;
  const struct {
    const char* sent;
    std::size_t platform_calls;  // none when no clock can show the time
    const char* line;
    const char* local;
  } cases[] = {
      {"2024-03-05T14:07:09Z", 1,
       "Set system time failed, errno=1, Operation not permitted\n",
       "2024-03-05 15:07:09"},
      {"1600-12-31T23:00:00Z", 0,
       "Set system time failed, errno=22, Invalid argument\n",
       "1601-01-01 00:00:00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    const std::size_t calls_before = platform.calls().size();
    send("POST", date(c.sent));
    expect_status(500, nullptr);
    EXPECT_TRUE(log.has(LM_ERROR, c.line));
    EXPECT_EQ(c.platform_calls, platform.calls().size() - calls_before);
    expect_event(false, Object{{"datetime", c.local}});
  }
}

TEST(HostDateCreator, MakesHandlersWithTheirSettings) {
  JSON_RESTful_Host_Date_Handler_Creator creator;
  JSON_RESTful_Handler* h = creator.create();
  auto* impl = dynamic_cast<JSON_RESTful_Handler_Impl2*>(h);
  ASSERT_NE(nullptr, impl);
  EXPECT_EQ(7u, impl->mask());
  EXPECT_EQ(0u, impl->value());
  creator.destroy(h);
}
