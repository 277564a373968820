// Lists 10,000 jobs through the job.list handler into a channel that
// discards its output, while a writer takes the job manager's lock over and
// over; prints the listing's time and jobs/s, how long the writer waited
// (longest and median), and the listing's time as a ratio of a plain
// JSON_Dump of the same definitions in the same run (median of five).
//
//   job_list_bench [JOBS]   (default 10000)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "agent/job/job_manager.h"
#include "bench/discarding_channel.h"
#include "websvcs/common/job/list_handler.h"

namespace {

using Clock = std::chrono::steady_clock;

// Holds the jobs in memory: the listing's own cost, without files.
class Memory_Job_Manager : public Job_Manager {
 public:
  ACE_RW_Mutex& mutex() override { return mutex_; }
  const Job_List& jobs() override { return jobs_; }
  Job_Ptr find(const std::string&) override { return Job_Ptr(); }
  bool submit_job(Job_Definition_Ptr, unsigned int) override { return false; }
#define NO_OPERATION(NAME) \
  bool NAME(const std::string&, const Options*) override { return false; }
  NO_OPERATION(start_job) NO_OPERATION(stop_job) NO_OPERATION(pause_job)
  NO_OPERATION(resume_job) NO_OPERATION(remove_job) NO_OPERATION(enable_job)
  NO_OPERATION(disable_job) NO_OPERATION(switch_job) NO_OPERATION(sync_job)
#undef NO_OPERATION
  ACE_RW_Thread_Mutex mutex_;
  Job_List jobs_;
};

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char* argv[]) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  Memory_Job_Manager manager;
  Scoped_Instance_T<Job_Manager> installed(&manager);
  for (int i = 0; i < count; ++i) {
    json_spirit::Object d{{"id", "job-" + std::to_string(i)},
                          {"command", "/usr/bin/backup --volume /data/" + std::to_string(i)},
                          {"schedule", json_spirit::Object{{"interval", 3600}}},
                          {"retention", json_spirit::Array{7, 30, 365}}};
    Job_Ptr job(new Job(Job_Definition_Ptr(new Job_Definition(std::move(d)))));
    Job_Activity& a = job->activity_record();
    a.state = i % 3 == 0 ? JOB_RUNNING : i % 3 == 1 ? JOB_ENDED : JOB_IDLE;
    a.next_run_time = 1700000000 + i;
    a.start_time = 1700000000;
    manager.jobs_.push_back(job);
  }
  Job_List_Handler handler;
  std::vector<double> list_ms, dump_ms, waits;
  std::uint64_t bytes = 0;
  for (int round = 0; round < 5; ++round) {
    // The plain baseline: the definitions' JSON text alone.
    auto t0 = Clock::now();
    std::size_t dumped = 0;
    for (const Job_Ptr& j : manager.jobs_)
      dumped += json_spirit::JSON_Dump(j->definition()->value(), false).size();
    dump_ms.push_back(ms(Clock::now() - t0));

    std::atomic<bool> listing{true};
    std::thread writer([&] {
      while (listing) {
        const auto asked = Clock::now();
        manager.mutex_.acquire_write();
        waits.push_back(ms(Clock::now() - asked));
        manager.mutex_.release();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    JSON_RPC_Request* r = new JSON_RPC_Request;
    r->id = 1;
    r->method = "job.list";
    Discarding_Channel* channel = new Discarding_Channel;
    JSON_RPC_Channel_Ptr held(channel);
    t0 = Clock::now();
    handler.handle_object(JSON_RPC_Channel_WPtr(held), JSON_RPC_Object_Ptr(r));
    list_ms.push_back(ms(Clock::now() - t0));
    listing = false;
    writer.join();
    bytes = channel->bytes;
    (void)dumped;
  }
  const double list = median(list_ms), dump = median(dump_ms);
  std::printf("job.list of %d jobs: %.1f ms (%.0f jobs/s, %llu bytes), JSON_Dump of the "
              "definitions %.1f ms, ratio %.2f\n",
              count, list, count / (list / 1000), static_cast<unsigned long long>(bytes), dump,
              list / dump);
  std::printf("writer waits during listings: longest %.1f ms, median %.3f ms (%zu waits)\n",
              waits.empty() ? 0 : *std::max_element(waits.begin(), waits.end()), median(waits),
              waits.size());
  return 0;
}
