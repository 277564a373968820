// Job listing: the keys each run state adds over the definition, the
// params that narrow the listing, and the read lock held across the whole
// conversion.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/fakes/recording_channel.h"
#include "tests/fakes/recording_job_manager.h"
#include "websvcs/common/job/list_handler.h"

using json_spirit::Value;

namespace {

Job_Ptr make_job(const char* definition, int state = 0, std::int64_t start = 0,
                 std::uint16_t c = 0, std::uint16_t n = 0) {
  Job_Definition_Ptr d;
  if (definition) d.reset(new Job_Definition(parse_json(definition).get_obj()));
  Job_Ptr job(new Job(d));
  if (state) {
    Job_Activity& a = job->activity_record();
    a = Job_Activity{{0}, state, 86400, start, 40, 3, {c, n}};
    for (int i = 0; i < 16; ++i) a.instance_id[i] = static_cast<unsigned char>(0x10 + i);
  }
  return job;
}

// Jobs that note whether a writer got the lock while they were converted.
std::atomic<bool> writer{false};
std::atomic<int> writer_seen{0};
struct Probe_Job : Job {
  using Job::Job;
  const Job_Activity* activity() const override {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    writer_seen += writer ? 1 : 0;
    return nullptr;
  }
};

class JobListTest : public Handler_Test<Job_List_Handler> {
 protected:
  Value list(const char* params, int type = JSON_RPC_Object::JSON_RPC_REQUEST) {
    EXPECT_EQ(type == JSON_RPC_Object::JSON_RPC_REQUEST ? 0 : -1, send(4, "job.list", params, type));
    Value reply = rec->pop();
    return reply.is_null() ? reply : reply.get_obj().at("result");
  }

  Installed<Job_Manager, Recording_Job_Manager> jobs;
};

}  // namespace

TEST_F(JobListTest, EachStateAddsItsKeysOverTheDefinition) {
  const std::pair<Job_Ptr, const char*> cases[] = {
      {make_job(R"({"id":"run","state":"mine","progress":"x"})", JOB_RUNNING, 0),
       R"({"id":"run","state":"running","next_run_time":"1970-01-02 00:00:00",
           "instance_id":"10111213-1415-1617-1819-1a1b1c1d1e1f","progress":40})"},
      {make_job(R"({"id":"pause"})", JOB_PAUSED, 172800),
       R"({"id":"pause","state":"paused","next_run_time":"1970-01-02 00:00:00",
           "start_time":"1970-01-03 00:00:00","instance_id":"10111213-1415-1617-1819-1a1b1c1d1e1f",
           "progress":40})"},
      {make_job(R"({"id":"end","code":"x"})", JOB_ENDED, 172800),
       R"({"id":"end","state":"ended","next_run_time":"1970-01-02 00:00:00","code":3})"},
      {make_job(R"({"id":"msg"})", JOB_ENDED, 0, 'x' + 0x100, 3),
       R"({"id":"msg","state":"ended","next_run_time":"1970-01-02 00:00:00","code":3,
           "message":"xxx"})"},
      {make_job(R"({"id":"idle"})", JOB_IDLE, 172800),
       R"({"id":"idle","state":"idle","next_run_time":"1970-01-02 00:00:00"})"},
      {make_job(R"({"id":"odd"})", 7, 172800),
       R"({"id":"odd","state":"unknown","next_run_time":"1970-01-02 00:00:00"})"},
      {make_job(R"({"id":"plain","n":{"deep":[1,{"x":null}]}})"),
       R"({"id":"plain","n":{"deep":[1,{"x":null}]}})"},
      {make_job(nullptr, JOB_RUNNING), "{}"},
  };
  json_spirit::Array all;
  for (const auto& [job, expected] : cases) {
    jobs.jobs_.push_back(job);
    all.push_back(parse_json(expected));
  }
  for (const char* every : {"", "null", "\"idle\"", "[1]", R"({"x":1})", R"({"id":5})"})
    EXPECT_EQ(Value(all), list(every)) << every;
  EXPECT_EQ(Value(json_spirit::Array{all[4]}), list(R"({"id":"idle"})"));
  EXPECT_EQ(Value(json_spirit::Array{}), list(R"({"id":"none"})"));
  // A notify is neither answered nor logged.
  EXPECT_TRUE(list("", JSON_RPC_Object::JSON_RPC_NOTIFY).is_null());
  EXPECT_EQ(1u + 5 + 2, rec->count_sent());
}

TEST_F(JobListTest, AWriterWaitsForTheWholeConversion) {
  for (int i = 0; i < 20; ++i)
    jobs.jobs_.push_back(
        Job_Ptr(new Probe_Job(Job_Definition_Ptr(new Job_Definition({{"id", std::to_string(i)}})))));
  std::thread w;
  jobs.on_jobs = [&] {
    w = std::thread([&] {
      jobs.mutex().acquire_write();
      writer = true;
      jobs.mutex().release();
    });
  };
  EXPECT_EQ(20u, list("").get_array().size());
  w.join();
  EXPECT_TRUE(writer);
  EXPECT_EQ(0, writer_seen);
}
