#include "agent/wagent/host.h"

#include <ace/Log_Msg.h>
#include <ace/Thread_Manager.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "agent/job/job_manager.h"
#include "agent/json_rpc/json_rpc_handler.h"
#include "agent/platform/memory.h"
#include "agent/platform/process_env.h"
#include "agent/platform/process_runner.h"
#include "agent/platform/stop_request.h"
#include "agent/reactor/simple_reactor.h"
#include "agent/wagent/agent_setup.h"
#include "agent/wagent/invocation.h"
#include "agent/wagent/io_threads.h"
#include "agent/wagent/log_backend.h"
#include "agent/wagent/memory_policy.h"
#include "agent/wagent/server.h"
#include "agent/wagent/services.h"
#include "agent/wagent/settings.h"
#include "agent/wagent/upstream.h"
#include "agent/websocketc/websocket_options.h"

namespace wagent {

namespace {

// After the requests in flight have had stop.timeout and their connections
// are closed, what is left gets this long to notice.
const std::chrono::seconds close_limit(1);

template <class Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds limit) {
  auto give_up = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string executable_dir(const char* argv0) {
  const std::string dir = platform::program_folder();
  if (!dir.empty()) return dir;
  const std::string exe = argv0 ? argv0 : ".";
  const std::string::size_type slash = exe.rfind('/');
  return slash == std::string::npos ? "." : exe.substr(0, slash);
}

// Detached workers (log uploads) run module code on the services: they are
// work in flight too. count_threads() reads the manager's list without its
// lock while a worker may be starting: the locked listing counts instead
// (up to 64).
int detached_workers() {
  ACE_thread_t listed[64];
  return static_cast<int>(
      std::max<ssize_t>(0, ACE_Thread_Manager::instance()->thread_all_list(listed, 64)));
}

// The host's life in three steps: start (configuration, services, the
// listener and the upstream), wait for a stop request (SIGINT or SIGTERM;
// Ctrl-C, Ctrl-Break or the console's closing on Windows), stop.
class Host {
 public:
  explicit Host(const char* argv0)
      : cores_(std::max(1u, std::thread::hardware_concurrency())),
        services_({executable_dir(argv0) + "/../" WAGENT_MODULE_DIR,
                   executable_dir(argv0) + "/../lib", executable_dir(argv0)}),
        lanes_(cores_, 1 + Host_Settings::default_handler_limit,
               Host_Settings::default_handler_limit),
        ctx_(lanes_, services_),
        idle_trim_(ctx_) {}

  // 0 once serving; otherwise the exit code, the reason on stderr.
  int start(const Invocation& invocation);
  // The signal (or console event) that asked the host to stop.
  int wait_for_signal();
  // The exit code.
  int stop(int signal);

 private:
  void configure(const Invocation& invocation);
  void serve();
  bool idle();

  // Outlives every thread that logs, even past a stop that leaves early.
  static File_Log_Backend log_file_;
  const unsigned cores_;
  const Service_Notifier notifier_;
  Services services_;
  Io_Lanes lanes_;
  Host_Context ctx_;
  Config config_;
  Host_Settings settings_;
  std::shared_ptr<Listener> listener_;
  std::shared_ptr<Upstream> upstream_;
  Idle_Trim idle_trim_;
};

File_Log_Backend Host::log_file_;

void Host::configure(const Invocation& invocation) {
  config_ = load_config(invocation.config_path);
  for (const std::string& o : invocation.overrides) apply_override(config_, o);
  apply_service_directories(config_);
  settings_ = read_settings(config_);
  apply_settings(settings_, config_, log_file_, services_.dispatcher());
  services_.load(config_);
  json_rpc::set_worker_limits(settings_.workers, settings_.queue);
  ctx_.body_limit = settings_.body_limit;
  ctx_.timeout = settings_.http_timeout;
  ctx_.keepalive = settings_.keepalive;
  lanes_.limit_handlers(static_cast<unsigned>(settings_.handler_limit));
  // Handlers open files, directories and databases of their own: the
  // connections leave them part of the descriptor limit.
  if (const std::uint64_t files = platform::descriptor_limit())
    ctx_.limit_connections(static_cast<std::size_t>(files > 256 ? files - 128 : files / 2));
  try {
    listener_ = std::make_shared<Listener>(ctx_, settings_.listen);
  } catch (const std::exception& e) {
    throw Config_Error(settings_.listen_where + ": cannot listen on " +
                       settings_.listen_text + ": " + e.what());
  }
}

int Host::start(const Invocation& invocation) {
  platform::tune_heap(cores_);
  // Made before any thread that may start detached workers: ACE creates
  // it on first use, without a barrier for threads that read it later.
  ACE_Thread_Manager::instance();
  try {
    configure(invocation);
  } catch (const Config_Error& e) {
    services_.stop();
    std::cerr << "wagent: " << e.what() << "\n";
    return 1;
  }
  serve();
  return 0;
}

void Host::serve() {
  // Job creation hands over to the reactor thread and the job schedules
  // tick there, so it runs before anything is served.
  Simple_Reactor::instance()->start();
  Job_Manager::instance()->open();
  const tcp::endpoint bound = listener_->local_endpoint();
  const std::string host_text = bound.address().is_v6()
                                    ? "[" + bound.address().to_string() + "]"
                                    : bound.address().to_string();
  listener_->start();
  if (WebSocket_Options::instance()->configured()) {
    WebSocket_Options* o = WebSocket_Options::instance();
    upstream_ = std::make_shared<Upstream>(ctx_, o->host(), o->port(), o->path(),
                                           settings_.upstream_session, o->tls());
    upstream_->start();
  }
  lanes_.on_wake([this] { idle_trim_.wake(); });
  lanes_.start();
  std::cerr << "wagent: listening on http://" << host_text << ":" << bound.port()
            << std::endl;
  notifier_.notify("READY=1\nSTATUS=listening on " + host_text + ":" +
                   std::to_string(bound.port()));
}

// Later requests are ignored: the stop is bounded, and a second signal
// must not cut its cleanup in half.
int Host::wait_for_signal() { return platform::wait_for_stop_request(); }

bool Host::idle() {
  return lanes_.handlers() == 0 && detached_workers() == 0 &&
         json_rpc::drain_workers(&ACE_Time_Value::zero);
}

int Host::stop(int signal) {
  ACE_DEBUG((LM_NOTICE, "%N:%l: signal %d: stopping\n", signal));
  notifier_.notify("STOPPING=1");
  ctx_.stopping = true;
  listener_->stop();
  if (upstream_) upstream_->stop();
  // Commands end with the agent, their trees too: SIGTERM now, SIGKILL
  // after the grace period; the requests waiting for them then answer.
  platform::Process_Runner::terminate_all();
  // Requests in flight get their time; then the connections are closed,
  // which ends every write still waiting on a client, and what runs after
  // that has a last second to notice. The module stays loaded while
  // detached workers run.
  const std::chrono::seconds drain_limit = settings_.stop_timeout;
  if (int n = detached_workers())
    ACE_DEBUG((LM_NOTICE, "%N:%l: waiting up to %d s for %d detached workers\n",
               int(drain_limit.count()), n));
  wait_until([this] { return idle(); }, drain_limit);
  // Connections waiting for a request close now; replies being written get
  // a last moment to go out, then whatever is left is cut.
  ctx_.shut_all(true);
  wait_until([this] { return idle() && ctx_.open_count() == 0; }, close_limit);
  ctx_.shut_all();
  wait_until([this] { return idle() && ctx_.open_count() == 0; }, close_limit);
  const bool joined = lanes_.stop(close_limit);
  if (!joined || !idle()) {
    // Work that outlived its bounds may still touch the services and the
    // process's statics: leave without destroying anything under it.
    ACE_ERROR((LM_WARNING, "%N:%l: requests still running after %d s "
                           "(%d on io threads, %C on workers, %d detached); "
                           "leaving without stopping the services\n",
               int(drain_limit.count()), int(lanes_.handlers()),
               json_rpc::drain_workers(&ACE_Time_Value::zero) ? "none" : "some",
               detached_workers()));
    platform::Process_Runner::kill_all();
    ACE_DEBUG((LM_NOTICE, "%N:%l: stopped\n"));
    log_file_.close();
    std::fflush(nullptr);
    std::_Exit(0);
  }
  services_.stop();
  Job_Manager::instance()->close();
  Simple_Reactor::instance()->stop();
  ACE_DEBUG((LM_NOTICE, "%N:%l: stopped\n"));
  return 0;
}

}  // namespace

int run_host(int argc, char* argv[]) {
  Invocation invocation;
  if (int code = parse_invocation(argc, argv, invocation); code >= 0) return code;
  Host host(argv[0]);
  if (int code = host.start(invocation)) return code;
  return host.stop(host.wait_for_signal());
}

}  // namespace wagent
