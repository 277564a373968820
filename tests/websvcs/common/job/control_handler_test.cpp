// Job control: the method table, the params forms, the exact job-manager
// call, and the different fates of requests and notifies.
#include <gtest/gtest.h>

#include <iterator>

#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_job_manager.h"
#include "websvcs/common/job/control_handler.h"

namespace {

class JobControlTest : public Handler_Test<JSON_RPC_Job_Control_Handler> {
 protected:
  // Hands `method` with `params` (JSON text, "" for none) to the handler as
  // a request or as a notify.
  void handle(const std::string& method, const char* params, bool notify = false) {
    send(21, method, params, notify ? JSON_RPC_Object::JSON_RPC_NOTIFY
                                           : JSON_RPC_Object::JSON_RPC_REQUEST);
  }

  Installed<Job_Manager, Recording_Job_Manager> jobs;
};

}  // namespace

TEST_F(JobControlTest, EachMethodCallsItsOperationWithTheIdAndStringOptions) {
  const struct {
    const char* method;
    const char* params;
    const char* operation;
    Job_Manager::Options options;
  } cases[] = {
      {"job.start", "\"nightly\"", "start_job", {}},
      {"job.stop", R"({"id":"nightly"})", "stop_job", {}},
      {"job.pause",
       R"({"id":"nightly","options":{"mode":"full","level":2,"force":true,"n":null,"a":[],"o":{}}})",
       "pause_job", {{"mode", "full"}}},
      {"job.resume", R"({"id":"nightly","options":"x"})", "resume_job", {}},
      {"job.remove", "\"nightly\"", "remove_job", {}},
      {"job.enable", "\"nightly\"", "enable_job", {}},
      {"job.disable", "\"nightly\"", "disable_job", {}},
      {"job.switch", "\"nightly\"", "switch_job", {}},
      {"job.sync", "\"nightly\"", "sync_job", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    jobs.result = (&c - cases) % 2;  // the manager's answer, whichever it is
    handle(c.method, c.params);
    EXPECT_EQ(std::string(R"({"id":21,"jsonrpc":"2.0","result":)") + (jobs.result ? "true}" : "false}"),
              reply());
    ASSERT_EQ(std::size_t(&c - cases + 1), jobs.calls.size());
    EXPECT_EQ(c.operation, jobs.calls.back().operation);
    EXPECT_EQ("nightly", jobs.calls.back().id);
    EXPECT_TRUE(jobs.calls.back().had_options);  // never a null pointer
    EXPECT_EQ(c.options, jobs.calls.back().options);
  }
  // A notify runs its operation just the same, and nothing is sent.
  handle("job.enable", R"({"id":"nightly","options":{"k":"v"}})", true);
  EXPECT_EQ(std::size(cases), rec->count_sent());
  ASSERT_EQ(std::size(cases) + 1, jobs.calls.size());
  EXPECT_EQ("enable_job", jobs.calls.back().operation);
  EXPECT_EQ((Job_Manager::Options{{"k", "v"}}), jobs.calls.back().options);
}

TEST_F(JobControlTest, BadParamsAndGoneRequestersRunNothingAndNotifiesOnlyLogThem) {
  const char* const not_string = "Invalid params: params type must be string or object";
  const char* const unknown = "Invalid params: unknown method";
  const struct { const char* method; const char* params; const char* message; } cases[] = {
      {"job.start", "[]", not_string},
      {"job.start", "", not_string},
      {"job.start", R"({"id":7})", "Invalid params: params must have 'id'"},
      {"job.restart", "\"nightly\"", unknown},
      {"JOB.START", "\"nightly\"", unknown},
      {"job.restart", "17", not_string},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    handle(c.method, c.params);
    EXPECT_EQ(R"({"error":{"code":-32602,"message":")" + std::string(c.message) +
                  R"("},"id":21,"jsonrpc":"2.0"})", reply());
    handle(c.method, c.params, true);
    EXPECT_TRUE(log.has(LM_ERROR,
                        std::string("Failed to handle JSON-RPC notify in Job Control "
                                    "Handler: -32602, ") + c.message + "\n"));
  }
  EXPECT_EQ(std::size(cases), rec->count_sent());
  // Nor does a request whose requester has gone.
  channel = JSON_RPC_Channel_Ptr();
  handle("job.start", "\"nightly\"");
  EXPECT_TRUE(jobs.calls.empty());
  EXPECT_TRUE(log.has(LM_ERROR, "Abort handling JSON-RPC request(id: 21) in Job "
                                "Control Handler, requester has gone.\n"));
}
