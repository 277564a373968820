#include "agent/job/job_manager.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_signal.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Process.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "agent/database/connection.h"
#include "agent/mdrt/simple_reactor.h"
#include "agent/mdrt/uuid_text.h"
#include "agent/platform/files.h"
#include "agent/platform/platform.h"

Job::~Job() {}

Job_Activity& Job::activity_record() {
  if (!activity_) activity_.reset(new Job_Activity{{0}, JOB_IDLE, 0, 0, 0, 0, {0, 0}});
  return *activity_;
}

Job_Manager::~Job_Manager() {}

namespace {

using database::sql::Binding_Value;
using database::sql::Text_SQL;

const char JOBS_FOLDER[] = "$APPDATA/jobs";
const char LOG_FOLDER[] = "$APPDATA/quillon/veltrano/$COMPONENT/log";

// Event ids of a run's log.
enum Job_Event { EV_STARTED = 1, EV_PAUSED = 2, EV_RESUMED = 3, EV_STOPPED = 4, EV_ENDED = 5 };

// Ids name files: letters, digits, '.', '_' and '-', not leading '.'.
bool usable_id(const std::string& id) {
  if (id.empty() || id.size() > 200 || id[0] == '.') return false;
  return std::all_of(id.begin(), id.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
  });
}

std::int64_t now() { return static_cast<std::int64_t>(std::time(nullptr)); }

// A job with what the manager keeps about its run.
struct Managed_Job : Job {
  using Job::Job;
  pid_t pid = 0;  // the running command, 0 when none
};

// One row for the event log, written after the change that made it.
struct Event_Row {
  unsigned char uuid[16];
  std::string job_id;
  bool opens_instance;
  int event;
  std::int64_t time;
  std::string data;
};

class File_Job_Manager : public Job_Manager, public ACE_Event_Handler {
 public:
  int open() override;
  void close() override;
  ACE_RW_Mutex& mutex() override { return mutex_; }
  const Job_List& jobs() override { return jobs_; }
  Job_Ptr find(const std::string& id) override {
    auto j = by_id_.find(id);
    return j == by_id_.end() ? Job_Ptr() : j->second;
  }
  bool submit_job(Job_Definition_Ptr definition, unsigned int flags) override;

  bool start_job(const std::string& id, const Options*) override {
    return change(id, [&](Managed_Job& j, std::vector<Event_Row>& ev) { return start(j, ev); });
  }
  bool stop_job(const std::string& id, const Options*) override;
  bool pause_job(const std::string& id, const Options*) override {
    return move(id, JOB_RUNNING, JOB_PAUSED, EV_PAUSED, SIGSTOP);
  }
  bool resume_job(const std::string& id, const Options*) override {
    return move(id, JOB_PAUSED, JOB_RUNNING, EV_RESUMED, SIGCONT);
  }
  bool remove_job(const std::string& id, const Options*) override;
  bool enable_job(const std::string& id, const Options*) override { return set_enabled(id, 1); }
  bool disable_job(const std::string& id, const Options*) override { return set_enabled(id, 0); }
  bool switch_job(const std::string& id, const Options*) override { return set_enabled(id, -1); }
  bool sync_job(const std::string& id, const Options*) override;

  // The scheduler's tick, on the reactor thread.
  int handle_timeout(const ACE_Time_Value&, const void*) override;

 private:
  typedef std::vector<Event_Row> Events;

  // Runs `f` on the job under the write lock, then writes the events it
  // made in the order the changes happened.
  template <class F>
  bool change(const std::string& id, F f) {
    Events events;
    std::unique_lock<std::mutex> order(events_lock_, std::defer_lock);
    bool done;
    {
      ACE_Write_Guard<ACE_RW_Mutex> guard(mutex_);
      auto j = by_id_.find(id);
      done = j != by_id_.end() && f(static_cast<Managed_Job&>(*j->second), events);
      if (!events.empty()) order.lock();
    }
    for (const Event_Row& e : events) record(e);
    return done;
  }
  bool move(const std::string& id, int from, int to, int event, int signal);
  bool start(Managed_Job& job, Events& events);
  void add_event(Managed_Job& job, int event, Events& events, bool opens = false);
  void spawn(Managed_Job& job, Events& events);
  void finished(const std::string& id, const std::string& instance, int code);
  bool set_enabled(const std::string& id, int how);
  void record(const Event_Row& e);
  bool keep(const Job_Definition& definition);
  Job_Definition_Ptr load(const std::string& path);
  void add(const Job_Definition_Ptr& definition);
  // The scheduler's timer runs only while some job has a time to run, so
  // an agent without schedules is not woken every second.
  void keep_ticking();
  bool any_scheduled();

  ACE_RW_Thread_Mutex mutex_;
  Job_List jobs_;
  std::unordered_map<std::string, Job_Ptr> by_id_;
  std::mutex events_lock_;
  database::sql::Connection_Ptr events_db_;
  std::mutex waiters_lock_;
  std::condition_variable waiters_done_;
  int waiters_ = 0;
  std::mutex tick_lock_;
  long timer_ = -1;  // under tick_lock_
  std::atomic<bool> closing_{false};
};

std::string folder_path(const char* folder) { return platform::expand_environment(folder); }
std::string definition_path(const std::string& id) {
  return folder_path(JOBS_FOLDER) + "/" + id + ".json";
}

bool File_Job_Manager::keep(const Job_Definition& definition) {
  const std::string path = definition_path(definition.id());
  if (platform::replace_file(path, json_spirit::JSON_Dump(definition.value(), true) + "\n", 0640))
    return true;
  ACE_ERROR((LM_ERROR, "%N:%l: cannot keep job definition %C, %m\n", path.c_str()));
  return false;
}

Job_Definition_Ptr File_Job_Manager::load(const std::string& path) {
  std::string text;
  json_spirit::Value v;
  std::string error = "cannot be read";
  if (platform::read_file(path, text) && json_spirit::read(text, v, &error)) {
    if (v.type() == json_spirit::obj_type) {
      Job_Definition_Ptr d(new Job_Definition(std::move(v.get_obj())));
      if (usable_id(d->id())) return d;
    }
    error = "not an object with a usable \"id\"";
  }
  ACE_ERROR((LM_WARNING, "%N:%l: skipped job definition %C: %C\n", path.c_str(), error.c_str()));
  return Job_Definition_Ptr();
}

// Under the write lock.
void File_Job_Manager::add(const Job_Definition_Ptr& definition) {
  Job_Ptr job(new Managed_Job(definition));
  Job_Activity& a = job->activity_record();
  a.next_run_time = definition->interval() ? now() + definition->interval() : 0;
  jobs_.push_back(job);
  by_id_[definition->id()] = job;
}

int File_Job_Manager::open() {
  const std::string folder = folder_path(JOBS_FOLDER);
  platform::make_folders(folder, 0750);
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) names.push_back(name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  {
    ACE_Write_Guard<ACE_RW_Mutex> guard(mutex_);
    for (const std::string& name : names) {
      Job_Definition_Ptr d = load(folder + "/" + name);
      if (!d.get()) continue;
      if (by_id_.count(d->id()) || name != d->id() + ".json") {
        ACE_ERROR((LM_WARNING, "%N:%l: skipped job definition %C: its id is %C\n",
                   name.c_str(), d->id().c_str()));
        continue;
      }
      add(d);
    }
  }
  ACE_DEBUG((LM_INFO, "%N:%l: %d jobs loaded from %C\n", int(jobs_.size()), folder.c_str()));
  if (any_scheduled()) keep_ticking();
  return 0;
}

bool File_Job_Manager::any_scheduled() {
  ACE_Read_Guard<ACE_RW_Mutex> guard(mutex_);
  for (const Job_Ptr& j : jobs_)
    if (j->activity() && j->activity()->next_run_time) return true;
  return false;
}

// After a job got a time to run, outside the job lock.
void File_Job_Manager::keep_ticking() {
  std::lock_guard<std::mutex> g(tick_lock_);
  Simple_Reactor* reactor = Simple_Reactor::instance();
  if (timer_ != -1 || closing_ || !reactor->running()) return;
  const ACE_Time_Value second(1);
  timer_ = reactor->reactor()->schedule_timer(this, nullptr, second, second);
}

void File_Job_Manager::close() {
  closing_ = true;  // a tick running now starts nothing more
  {
    std::lock_guard<std::mutex> g(tick_lock_);
    if (timer_ != -1) Simple_Reactor::instance()->reactor()->cancel_timer(timer_);
    timer_ = -1;
  }
  {
    ACE_Read_Guard<ACE_RW_Mutex> guard(mutex_);
    for (const Job_Ptr& j : jobs_)
      if (pid_t pid = static_cast<Managed_Job&>(*j).pid) {
        ACE_OS::kill(pid, SIGTERM);
        ACE_OS::kill(pid, SIGCONT);
      }
  }
  std::unique_lock<std::mutex> g(waiters_lock_);
  if (!waiters_done_.wait_for(g, std::chrono::seconds(5), [&] { return waiters_ == 0; }))
    ACE_ERROR((LM_WARNING, "%N:%l: job commands still running at stop\n"));
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
  if (!usable_id(id)) return false;
  ACE_Write_Guard<ACE_RW_Mutex> guard(mutex_);
  if (by_id_.count(id) || !keep(*definition)) return false;
  add(definition);
  guard.release();
  if (definition->interval()) keep_ticking();
  return true;
}

void File_Job_Manager::add_event(Managed_Job& job, int event, Events& events, bool opens) {
  const Job_Activity& a = *job.activity();
  Event_Row e;
  std::copy(a.instance_id, a.instance_id + 16, e.uuid);
  e.job_id = job.definition()->id();
  e.opens_instance = opens;
  e.event = event;
  e.time = now();
  json_spirit::Object data{{"state", job_state_to_string(a.state, 0)}};
  if (a.state == JOB_ENDED) data["code"] = a.code;
  e.data = json_spirit::JSON_Dump(data, false);
  events.push_back(std::move(e));
}

bool File_Job_Manager::start(Managed_Job& job, Events& events) {
  Job_Activity& a = job.activity_record();
  if ((a.state != JOB_IDLE && a.state != JOB_ENDED) || !job.definition()->enabled() || closing_)
    return false;
  unsigned char instance[16];
  if (!uuid_generate(instance)) {
    ACE_ERROR((LM_ERROR, "%N:%l: no random source for a run of job %C\n",
               job.definition()->id().c_str()));
    return false;
  }
  std::copy(instance, instance + 16, a.instance_id);
  a.state = JOB_RUNNING;
  a.start_time = now();
  a.progress = 0;
  a.code = 0;
  add_event(job, EV_STARTED, events, true);
  spawn(job, events);
  return a.state == JOB_RUNNING;
}

// Starts the job's command, if it has one, and a thread that waits for it.
void File_Job_Manager::spawn(Managed_Job& job, Events& events) {
  const std::string command = job.definition()->command();
  if (command.empty()) return;
  const std::string id = job.definition()->id();
  ACE_Process_Options options;
  options.command_line("%s", command.c_str());
  // The command gets its three standard handles, none of the agent's own
  // (a listening socket held by a long command would outlive the agent).
  options.handle_inheritance(0);
  const std::string log = folder_path(LOG_FOLDER) + "/job-" + id + ".log";
  ACE_HANDLE out = ACE_OS::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0640);
  ACE_HANDLE in = ACE_OS::open(ACE_DEV_NULL, O_RDONLY);
  auto process = std::make_shared<ACE_Process>();
  pid_t pid = ACE_INVALID_PID;
  if (options.command_line_argv()[0] && in != ACE_INVALID_HANDLE &&
      out != ACE_INVALID_HANDLE && options.set_handles(in, out, out) == 0)
    pid = process->spawn(options);
  const int error = errno;
  options.release_handles();
  if (in != ACE_INVALID_HANDLE) ACE_OS::close(in);
  if (out != ACE_INVALID_HANDLE) ACE_OS::close(out);
  Job_Activity& a = job.activity_record();
  if (pid == ACE_INVALID_PID) {
    errno = error;
    ACE_ERROR((LM_ERROR, "%N:%l: job %C cannot run '%C', %m\n", id.c_str(), command.c_str()));
    a.state = JOB_ENDED;
    a.code = 127;  // what a shell answers for a command it cannot run
    add_event(job, EV_ENDED, events);
    return;
  }
  job.pid = pid;
  const std::string instance = uuid_binary_to_string(a.instance_id);
  {
    std::lock_guard<std::mutex> g(waiters_lock_);
    ++waiters_;
  }
  std::thread([this, process, id, instance] {
    ACE_exitcode status = 0;
    process->wait(&status);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status)
                     : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : status;
    finished(id, instance, code);
    std::lock_guard<std::mutex> g(waiters_lock_);
    if (--waiters_ == 0) waiters_done_.notify_all();
  }).detach();
}

// A command ended: its run ends with the exit code, unless the run was
// ended (stopped) or replaced meanwhile.
void File_Job_Manager::finished(const std::string& id, const std::string& instance, int code) {
  change(id, [&](Managed_Job& job, Events& events) {
    Job_Activity& a = job.activity_record();
    if (uuid_binary_to_string(a.instance_id) != instance ||
        (a.state != JOB_RUNNING && a.state != JOB_PAUSED))
      return false;
    job.pid = 0;
    a.state = JOB_ENDED;
    a.code = code;
    a.progress = 100;
    add_event(job, EV_ENDED, events);
    return true;
  });
}

bool File_Job_Manager::move(const std::string& id, int from, int to, int event, int signal) {
  return change(id, [&](Managed_Job& job, Events& events) {
    Job_Activity& a = job.activity_record();
    if (a.state != from) return false;
    if (job.pid) ACE_OS::kill(job.pid, signal);
    a.state = to;
    add_event(job, event, events);
    return true;
  });
}

bool File_Job_Manager::stop_job(const std::string& id, const Options*) {
  return change(id, [&](Managed_Job& job, Events& events) {
    Job_Activity& a = job.activity_record();
    if (a.state != JOB_RUNNING && a.state != JOB_PAUSED) return false;
    if (job.pid) {
      ACE_OS::kill(job.pid, SIGTERM);
      ACE_OS::kill(job.pid, SIGCONT);  // a paused command must see it
      job.pid = 0;
    }
    a.state = JOB_ENDED;
    a.code = 0;
    add_event(job, EV_STOPPED, events);
    return true;
  });
}

bool File_Job_Manager::remove_job(const std::string& id, const Options*) {
  ACE_Write_Guard<ACE_RW_Mutex> guard(mutex_);
  auto j = by_id_.find(id);
  if (j == by_id_.end()) return false;
  Managed_Job& job = static_cast<Managed_Job&>(*j->second);
  if (job.pid) {
    ACE_OS::kill(job.pid, SIGTERM);
    ACE_OS::kill(job.pid, SIGCONT);
  }
  ACE_OS::unlink(definition_path(id).c_str());
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
    if (!keep(*d)) return false;
    job.set_definition(d);
    return true;
  });
}

// Reads the job's definition back from its file, taking in edits made
// there.
bool File_Job_Manager::sync_job(const std::string& id, const Options*) {
  Job_Definition_Ptr d = load(definition_path(id));
  if (!d.get() || d->id() != id) return false;
  const bool done = change(id, [&](Managed_Job& job, Events&) {
    job.set_definition(d);
    Job_Activity& a = job.activity_record();
    if (d->interval() && !a.next_run_time) a.next_run_time = now() + d->interval();
    return true;
  });
  if (done && d->interval()) keep_ticking();
  return done;
}

int File_Job_Manager::handle_timeout(const ACE_Time_Value&, const void*) {
  const std::int64_t t = now();
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
  // Checked under tick_lock_, which keep_ticking takes after a job got its
  // time: either this sees that job, or keep_ticking sees the timer gone.
  std::lock_guard<std::mutex> g(tick_lock_);
  if (timer_ != -1 && !any_scheduled()) {
    Simple_Reactor::instance()->reactor()->cancel_timer(timer_);
    timer_ = -1;
  }
  return 0;
}

void File_Job_Manager::record(const Event_Row& e) {
  if (!events_db_.get())
    events_db_ = database::sql::Legacy_Manager::instance()->get_connection_r("job_event_log");
  if (!events_db_.get()) return;
  const Binding_Value uuid = Binding_Value::blob(e.uuid, sizeof e.uuid);
  if (e.opens_instance) {
    Text_SQL instance("INSERT INTO instance(uuid, job_id, start_time) VALUES(:uuid, :job, :time)");
    instance.bind(":uuid", uuid);
    instance.bind(":job", e.job_id);
    instance.bind(":time", static_cast<long long>(e.time));
    events_db_->execute(instance);
  }
  Text_SQL row(
      "INSERT INTO instance_log(instance_id, event_id, event_time, data) "
      "SELECT id, :event, :time, :data FROM instance WHERE uuid=:uuid");
  row.bind(":event", static_cast<long long>(e.event));
  row.bind(":time", static_cast<long long>(e.time));
  row.bind(":data", e.data);
  row.bind(":uuid", uuid);
  events_db_->execute(row);
}

}  // namespace

template <>
Job_Manager* default_service<Job_Manager>() {
  static Job_Manager* manager = new File_Job_Manager;
  return manager;
}
template class Service_Instance_T<Job_Manager>;
