// Job listing: the keys each run state adds over the definition, the
// params that narrow the listing, definitions the writer refuses, and
// changes made while a listing runs.
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

// Definitions listed as the writer writes them: text other than ASCII,
// reals and deep nesting kept; invalid UTF-8 or nesting past what can be
// read back listed as an empty object, without the run's keys.
TEST_F(JobListTest, DefinitionsAreListedAsTheWriterWritesThem) {
  auto nested = [](int levels) {
    json_spirit::Value v("end");
    for (int i = 0; i < levels; ++i) v = json_spirit::Array{v};
    return v;
  };
  json_spirit::Object deep{{"id", "deep"}, {"d", nested(60)}};
  json_spirit::Object deeper{{"id", "deeper"}, {"d", nested(120)}};
  json_spirit::Object bad{{"id", "bad"}, {"t", std::string("\xff")}};
  jobs.jobs_.push_back(make_job(R"({"id":"num","r":2.0,"s":-0.5,"u":18446744073709551615})"));
  jobs.jobs_.push_back(make_job(R"({"id":"utf","t":"caf\u00e9","r":2.0})", JOB_IDLE));
  for (const json_spirit::Object& d : {deep, deeper, bad}) {
    jobs.jobs_.push_back(Job_Ptr(new Job(Job_Definition_Ptr(new Job_Definition(d)))));
    jobs.jobs_.back()->activity_record();
  }
  deep["state"] = "idle";
  deep["next_run_time"] = "1970-01-01 00:00:00";
  list("");
  const std::vector<std::string> texts = rec->texts();
  ASSERT_EQ(1u, texts.size());
  EXPECT_NE(std::string::npos,
            texts[0].find(R"([{"id":"num","r":2.0,"s":-0.5,"u":18446744073709551615},)"
                          R"({"id":"utf","next_run_time":"1970-01-02 00:00:00","r":2.0,)"
                          R"("state":"idle","t":"caf)" "\xc3\xa9" R"("},)" +
                          json_spirit::JSON_Dump(deep, false) + ",{},{}]"))
      << texts[0];
}

// Each change gives a job's definition and its run the same number, and
// new jobs come while listings run: every listed job is wholly one change,
// and a listing never loses a job an earlier one had.
TEST_F(JobListTest, AChangeDuringAListingIsWhollyInOrOut) {
  auto definition = [](std::size_t i, int n) {
    return Job_Definition_Ptr(new Job_Definition({{"id", std::to_string(i)}, {"n", n}}));
  };
  auto set = [](Job& job, int n) {
    Job_Activity& a = job.activity_record();
    a.state = n % 2 ? JOB_RUNNING : JOB_PAUSED;
    a.progress = n;
  };
  for (std::size_t i = 0; i < 300; ++i) {
    jobs.jobs_.push_back(Job_Ptr(new Job(definition(i, 0))));
    set(*jobs.jobs_.back(), 0);
  }
  std::atomic<bool> listing{true};
  std::thread writer([&] {
    for (int n = 1; listing; ++n) {
      for (std::size_t i = 0; listing && i < jobs.jobs_.size(); ++i) {
        ACE_Write_Guard<ACE_RW_Mutex> guard(jobs.mutex());
        jobs.jobs_[i]->set_definition(definition(i, n));
        set(*jobs.jobs_[i], n);
      }
      ACE_Write_Guard<ACE_RW_Mutex> guard(jobs.mutex());
      jobs.jobs_.push_back(Job_Ptr(new Job(definition(jobs.jobs_.size(), n))));
      set(*jobs.jobs_.back(), n);
    }
  });
  std::size_t seen = 0;
  for (int round = 0; round < 30; ++round) {
    const Value all = list("");
    ASSERT_EQ(json_spirit::array_type, all.type());
    const json_spirit::Array& a = all.get_array();
    EXPECT_GE(a.size(), seen);
    seen = a.size();
    for (std::size_t i = 0; i < a.size(); ++i) {
      const json_spirit::Object& job = a[i].get_obj();
      const std::int64_t n = job.at("n").get_int64();
      EXPECT_EQ(Value(std::to_string(i)), job.at("id"));
      EXPECT_EQ(n, job.at("progress").get_int64()) << i;
      EXPECT_EQ(Value(n % 2 ? "running" : "paused"), job.at("state")) << i;
    }
  }
  listing = false;
  writer.join();
}
