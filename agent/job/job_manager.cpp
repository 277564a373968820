#include "agent/job/file_job_manager.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <ctime>

#include "agent/metrics/metrics.h"
#include "agent/text/uuid_text.h"

Job::Job(const Job_Definition_Ptr& definition) : record_(std::make_shared<Job_Record>()) {
  record_->definition = definition;
}

Job::~Job() {}

Job_Record& Job::writable() {
  if (shared_.load(std::memory_order_relaxed)) {
    record_ = std::make_shared<Job_Record>(*record_);
    shared_.store(false, std::memory_order_relaxed);
  }
  return *record_;
}

Job_Activity& Job::activity_record() {
  Job_Record& r = writable();
  if (!r.has_activity) {
    r.activity = Job_Activity{{0}, JOB_IDLE, 0, 0, 0, 0, {0, 0}};
    r.has_activity = true;
  }
  return r.activity;
}

Job_Manager::~Job_Manager() {}

namespace {

std::int64_t now() { return static_cast<std::int64_t>(std::time(nullptr)); }

// A run's end, by how it ended: its command's code 0, another code (127: it
// could not start), or job.stop.
void count_run_end(int event, int code) {
  static metrics::Family& runs = metrics::registry().family(
      "wagent_job_runs_total", "Job runs ended, by outcome.", metrics::Family::COUNTER,
      {"outcome"});
  static metrics::Counter* const by_outcome[] = {
      &runs.counter({"succeeded"}), &runs.counter({"failed"}), &runs.counter({"stopped"})};
  if (event == JOB_EVENT_STOPPED) by_outcome[2]->add();
  else if (event == JOB_EVENT_ENDED) by_outcome[code == 0 ? 0 : 1]->add();
}
struct Counted_From_Start {
  Counted_From_Start() { count_run_end(0, 0); }
} counted_from_start;

}  // namespace

// Under the write lock.
void File_Job_Manager::add(const Job_Definition_Ptr& definition) {
  Job_Ptr job(new Managed_Job(definition));
  Job_Activity& a = job->activity_record();
  a.next_run_time = definition->interval() ? now() + definition->interval() : 0;
  jobs_.push_back(job);
  by_id_[definition->id()] = job;
}

int File_Job_Manager::open() {
  const std::vector<Job_Definition_Ptr> definitions = store_.load_all();
  {
    ACE_Write_Guard<ACE_RW_Mutex> guard(mutex_);
    for (const Job_Definition_Ptr& d : definitions)
      if (!by_id_.count(d->id())) add(d);
  }
  ACE_DEBUG((LM_INFO, "%N:%l: %d jobs loaded from %C\n", int(jobs_.size()),
             store_.folder().c_str()));
  if (any_scheduled()) scheduler_.wake();
  return 0;
}

bool File_Job_Manager::any_scheduled() {
  ACE_Read_Guard<ACE_RW_Mutex> guard(mutex_);
  for (const Job_Ptr& j : jobs_)
    if (j->activity() && j->activity()->next_run_time) return true;
  return false;
}

void File_Job_Manager::close() {
  closing_ = true;  // a tick running now starts nothing more
  scheduler_.stop();
  {
    ACE_Read_Guard<ACE_RW_Mutex> guard(mutex_);
    for (const Job_Ptr& j : jobs_)
      if (const auto& process = static_cast<Managed_Job&>(*j).process) process->terminate();
  }
  runner_.wait_all();
}

bool File_Job_Manager::submit_job(Job_Definition_Ptr definition, unsigned int) {
  if (!definition.get()) return false;
  if (definition->id().empty() && !definition->members().count("id")) {
    unsigned char uuid[16];
    if (!uuid_generate(uuid)) {
      ACE_ERROR((LM_ERROR, "%N:%l: no random source for a job id\n"));
      return false;
    }
    definition->members()["id"] = uuid_binary_to_string(uuid);
  }
  const std::string id = definition->id();
  if (!Job_Definition_Store::usable_id(id)) return false;
  ACE_Write_Guard<ACE_RW_Mutex> guard(mutex_);
  if (by_id_.count(id) || !store_.keep(*definition)) return false;
  add(definition);
  guard.release();
  if (definition->interval()) scheduler_.wake();
  return true;
}

void File_Job_Manager::add_event(Managed_Job& job, int event, Events& events, bool opens) {
  const Job_Activity& a = *job.activity();
  Job_Event e;
  std::copy(a.instance_id, a.instance_id + 16, e.instance);
  e.job_id = job.definition()->id();
  e.opens_instance = opens;
  e.event = event;
  e.time = now();
  json_spirit::Object data{{"state", job_state_to_string(a.state, 0)}};
  if (a.state == JOB_ENDED) data["code"] = a.code;
  count_run_end(event, a.code);
  if (event == JOB_EVENT_STOPPED) data["cancelled"] = true;
  if (const Job_Run_End* end = event == JOB_EVENT_ENDED ? job.run_end() : nullptr) {
    data["signal"] = end->signal;
    data["timed_out"] = end->timed_out;
    data["cancelled"] = end->cancelled;
    data["duration_ms"] = end->duration_ms;
    data["output_bytes"] = end->output_bytes;
  }
  e.data = json_spirit::JSON_Dump(data, false);
  events.push_back(std::move(e));
}

bool File_Job_Manager::start(Managed_Job& job, Events& events) {
  Job_Activity& a = job.activity_record();
  if ((a.state != JOB_IDLE && a.state != JOB_ENDED) || !job.definition()->enabled() || closing_)
    return false;
  unsigned char instance[16];
  const std::string id = job.definition()->id();
  if (!uuid_generate(instance)) {
    ACE_ERROR((LM_ERROR, "%N:%l: no random source for a run of job %C\n", id.c_str()));
    return false;
  }
  std::copy(instance, instance + 16, a.instance_id);
  a.state = JOB_RUNNING;
  a.start_time = now();
  a.progress = 0;
  a.code = 0;
  job.set_run_end(nullptr);
  add_event(job, JOB_EVENT_STARTED, events, true);
  const std::string command = job.definition()->command();
  if (command.empty()) return true;
  job.process = runner_.start(id, uuid_binary_to_string(instance), command);
  if (job.process) return true;
  a.state = JOB_ENDED;
  a.code = 127;  // what a shell answers for a command it cannot run
  add_event(job, JOB_EVENT_ENDED, events);
  return false;
}

// A command ended: its run ends with the exit code, unless the run was
// ended (stopped) or replaced meanwhile; a stopped run still learns how its
// command ended.
void File_Job_Manager::finished(const std::string& id, const std::string& instance,
                                const platform::Process_Exit& exit) {
  change(id, [&](Managed_Job& job, Events& events) {
    if (!job.activity() || uuid_binary_to_string(job.activity()->instance_id) != instance)
      return false;
    Job_Run_End end;
    end.signal = exit.signal;
    end.timed_out = exit.timed_out;
    end.cancelled = exit.cancelled;
    end.duration_ms = exit.duration_ms;
    end.output_bytes = exit.output_bytes;
    job.set_run_end(&end);
    Job_Activity& a = job.activity_record();
    if (a.state != JOB_RUNNING && a.state != JOB_PAUSED) return true;
    job.process.reset();
    a.state = JOB_ENDED;
    a.code = exit.code;
    a.progress = 100;
    add_event(job, JOB_EVENT_ENDED, events);
    return true;
  });
}

bool File_Job_Manager::move(const std::string& id, int from, int to, int event,
                            void (platform::Process_Runner::*signal)()) {
  return change(id, [&](Managed_Job& job, Events& events) {
    Job_Activity& a = job.activity_record();
    if (a.state != from) return false;
    if (job.process) ((*job.process).*signal)();
    a.state = to;
    add_event(job, event, events);
    return true;
  });
}

bool File_Job_Manager::stop_job(const std::string& id, const Options*) {
  return change(id, [&](Managed_Job& job, Events& events) {
    Job_Activity& a = job.activity_record();
    if (a.state != JOB_RUNNING && a.state != JOB_PAUSED) return false;
    if (job.process) job.process->terminate();
    job.process.reset();
    a.state = JOB_ENDED;
    a.code = 0;
    add_event(job, JOB_EVENT_STOPPED, events);
    return true;
  });
}

bool File_Job_Manager::remove_job(const std::string& id, const Options*) {
  ACE_Write_Guard<ACE_RW_Mutex> guard(mutex_);
  auto j = by_id_.find(id);
  if (j == by_id_.end()) return false;
  if (const auto& process = static_cast<Managed_Job&>(*j->second).process) process->terminate();
  store_.remove(id);
  jobs_.erase(std::find(jobs_.begin(), jobs_.end(), j->second));
  by_id_.erase(j);
  return true;
}

// how: 1 enable, 0 disable, -1 the other of what it is.
bool File_Job_Manager::set_enabled(const std::string& id, int how) {
  return change(id, [&](Managed_Job& job, Events&) {
    const Job_Definition_Ptr old = job.definition();
    Job_Definition_Ptr d(new Job_Definition(old->members()));
    d->members()["enabled"] = how < 0 ? !old->enabled() : how == 1;
    if (!store_.keep(*d)) return false;
    job.set_definition(d);
    return true;
  });
}

// Reads the job's definition back from its file, taking in edits made
// there.
bool File_Job_Manager::sync_job(const std::string& id, const Options*) {
  Job_Definition_Ptr d = store_.load(id);
  if (!d.get() || d->id() != id) return false;
  const bool done = change(id, [&](Managed_Job& job, Events&) {
    job.set_definition(d);
    Job_Activity& a = job.activity_record();
    if (d->interval() && !a.next_run_time) a.next_run_time = now() + d->interval();
    return true;
  });
  if (done && d->interval()) scheduler_.wake();
  return done;
}

void File_Job_Manager::run_due(std::int64_t t) {
  std::vector<std::string> due;
  {
    ACE_Read_Guard<ACE_RW_Mutex> guard(mutex_);
    for (const Job_Ptr& j : jobs_) {
      const Job_Activity* a = j->activity();
      if (a && a->next_run_time && a->next_run_time <= t) due.push_back(j->definition()->id());
    }
  }
  for (const std::string& id : due)
    change(id, [&](Managed_Job& job, Events& events) {
      Job_Activity& a = job.activity_record();
      const std::int64_t interval = job.definition()->interval();
      a.next_run_time = interval ? std::max(a.next_run_time + interval, t + 1) : 0;
      // A run still going is not started again; the next turn comes.
      return a.state != JOB_RUNNING && a.state != JOB_PAUSED && start(job, events);
    });
}

template <>
Job_Manager* default_service<Job_Manager>() {
  static Job_Manager* manager = new File_Job_Manager;
  return manager;
}
template class Service_Instance_T<Job_Manager>;
