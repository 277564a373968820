// Job control: the method table, the params forms, the exact job-manager
// call, and the different fates of requests and notifies.
#include <gtest/gtest.h>

#include "agent/platform/service_instance.h"
#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_job_manager.h"
#include "tests/fakes/recording_log.h"
#include "websvcs/common/job/control_handler.h"

using json_spirit::Value;

namespace {

class JobControlTest : public ::testing::Test {
 protected:
  JobControlTest() : installed(&jobs) { channel = Recording_Channel::make(&rec); }

  JSON_RPC_Request make(const std::string& method, const char* params_json,
                        int type = JSON_RPC_Object::JSON_RPC_REQUEST) {
    JSON_RPC_Request r(type);
    r.id = 21;
    r.method = method;
    if (params_json) json_spirit::read(params_json, r.params);
    return r;
  }
  int request(const std::string& method, const char* params_json) {
    JSON_RPC_Request r = make(method, params_json);
    return handler.handle_request(channel.get(), r);
  }
  int notify(const std::string& method, const char* params_json) {
    JSON_RPC_Request r = make(method, params_json, JSON_RPC_Object::JSON_RPC_NOTIFY);
    return handler.handle_notify(channel.get(), r);
  }
  void expect_invalid_params(const char* message) {
    Value reply = rec->pop();
    EXPECT_EQ(Value(21), reply.get_obj().at("id"));
    const auto& error = reply.get_obj().at("error").get_obj();
    EXPECT_EQ(Value(-32602), error.at("code"));
    EXPECT_EQ(Value(message), error.at("message"));
    EXPECT_EQ(0u, error.count("data"));
  }

  Recording_Job_Manager jobs;
  Scoped_Instance_T<Job_Manager> installed;
  JSON_RPC_Job_Control_Handler handler;
  Recording_Channel* rec;
  JSON_RPC_Channel_Ptr channel;
};

}  // namespace

TEST_F(JobControlTest, EachMethodCallsItsOperation) {
  const char* methods[] = {"start", "stop", "pause", "resume", "remove",
                           "enable", "disable", "switch", "sync"};
  for (const char* m : methods) request(std::string("job.") + m, "\"nightly\"");
  auto calls = jobs.calls();
  ASSERT_EQ(9u, calls.size());
  for (std::size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(std::string(methods[i]) + "_job", calls[i].operation);
    EXPECT_EQ("nightly", calls[i].id);
  }
}

TEST_F(JobControlTest, StringParamsIsTheIdAndTheAnswerIsTheManagersBoolean) {
  for (bool answer : {true, false}) {
    jobs.answer(answer);
    EXPECT_EQ(0, request("job.start", "\"nightly\""));
    Value reply = rec->pop();
    EXPECT_EQ(Value(21), reply.get_obj().at("id"));
    EXPECT_EQ(Value(answer), reply.get_obj().at("result"));
  }
  for (const auto& call : jobs.calls()) {
    EXPECT_TRUE(call.had_options);
    EXPECT_TRUE(call.options.empty());
  }
}

TEST_F(JobControlTest, OnlyStringOptionsArePassed) {
  request("job.pause",
          R"({"id":"nightly","options":{"mode":"full","level":2,"force":true,"n":null,"a":[],"o":{}}})");
  auto calls = jobs.calls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ("pause_job", calls[0].operation);
  EXPECT_EQ((Job_Manager::Options{{"mode", "full"}}), calls[0].options);
}

TEST_F(JobControlTest, MissingOrNonObjectOptionsGiveAnEmptyMapNotNull) {
  request("job.stop", R"({"id":"nightly"})");
  request("job.stop", R"({"id":"nightly","options":"x"})");
  for (const auto& call : jobs.calls()) {
    EXPECT_TRUE(call.had_options);
    EXPECT_TRUE(call.options.empty());
  }
}

TEST_F(JobControlTest, BadParamsAreCheckedBeforeTheMethod) {
  const char* const not_string_or_object =
      "Invalid params: params type must be string or object";
  const char* const no_id = "Invalid params: params must have 'id'";
  const struct {
    const char* method;
    const char* params;
    const char* message;
  } cases[] = {
      {"job.start", "[]", not_string_or_object},
      {"job.start", "3", not_string_or_object},
      {"job.start", "true", not_string_or_object},
      {"job.start", "null", not_string_or_object},
      {"job.start", nullptr, not_string_or_object},
      {"job.start", R"({"options":{"mode":"full"}})", no_id},
      {"job.start", R"({"id":7})", no_id},
      {"job.restart", "\"nightly\"", "Invalid params: unknown method"},
      {"JOB.START", "\"nightly\"", "Invalid params: unknown method"},
      {"job.restart", "17", not_string_or_object},
  };
  for (const auto& c : cases) {
    request(c.method, c.params);
    expect_invalid_params(c.message);
  }
  EXPECT_TRUE(jobs.calls().empty());
}

TEST_F(JobControlTest, NotifyRunsTheOperationAndSendsNothing) {
  EXPECT_EQ(0, notify("job.enable", R"({"id":"n1","options":{"k":"v"}})"));
  auto calls = jobs.calls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ("enable_job", calls[0].operation);
  EXPECT_EQ((Job_Manager::Options{{"k", "v"}}), calls[0].options);
  EXPECT_EQ(0u, rec->count_sent());
}

TEST_F(JobControlTest, NotifyErrorsAreLoggedWithCodeAndMessage) {
  Recording_Log log;
  EXPECT_EQ(0, notify("job.start", "[]"));
  EXPECT_EQ(0, notify("job.start", "{}"));
  EXPECT_EQ(0, notify("job.restart", "\"x\""));
  EXPECT_EQ(0u, rec->count_sent());
  const char* prefix = "Failed to handle JSON-RPC notify in Job Control Handler: -32602, ";
  EXPECT_TRUE(log.has(LM_ERROR, std::string(prefix) +
                                    "Invalid params: params type must be string or object\n"));
  EXPECT_TRUE(log.has(LM_ERROR, std::string(prefix) +
                                    "Invalid params: params must have 'id'\n"));
  EXPECT_TRUE(log.has(LM_ERROR, std::string(prefix) + "Invalid params: unknown method\n"));
}

TEST_F(JobControlTest, GoneRequesterRunsNoOperation) {
  Recording_Log log;
  JSON_RPC_Request r = make("job.start", "\"nightly\"");
  r.id = "req-1";
  EXPECT_EQ(-1, handler.handle_request(nullptr, r));
  EXPECT_TRUE(jobs.calls().empty());
  EXPECT_TRUE(log.has(LM_ERROR,
                      "Abort handling JSON-RPC request(id: \"req-1\") in Job "
                      "Control Handler, requester has gone.\n"));
}

TEST_F(JobControlTest, DeliveredThroughTheFrameworkPool) {
  JSON_RPC_Request* r = new JSON_RPC_Request;
  r->id = 5;
  r->method = "job.sync";
  r->params = "weekly";
  handler.handle_object(JSON_RPC_Channel_WPtr(channel), JSON_RPC_Object_Ptr(r));
  ASSERT_TRUE(rec->wait_for_sent(1, std::chrono::seconds(5)));
  ASSERT_TRUE(json_rpc::drain_workers(nullptr));
  ASSERT_EQ(1u, jobs.calls().size());
  EXPECT_EQ("sync_job", jobs.calls()[0].operation);
  EXPECT_EQ("weekly", jobs.calls()[0].id);
}
