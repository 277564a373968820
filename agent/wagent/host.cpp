#include "agent/wagent/host.h"

#include <ace/Log_Msg.h>
#include <ace/Thread_Manager.h>
#include <limits.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sys/resource.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <thread>

#include "agent/clntio/http_client.h"
#include "agent/eventutil/event_trigger.h"
#include "agent/job/job_manager.h"
#include "agent/mdrt/simple_reactor.h"
#include "agent/json_rpc/json_rpc_handler.h"
#include "agent/modsess/session.h"
#include "agent/platform/platform.h"
#include "agent/queue/queue_manager.h"
#include "agent/storage_catalog/storage_catalog.h"
#include "agent/systemutil/system_actions.h"
#include "agent/wagent/config.h"
#include "agent/wagent/invocation.h"
#include "agent/wagent/io_threads.h"
#include "agent/wagent/log_backend.h"
#include "agent/wagent/server.h"
#include "agent/wagent/services.h"
#include "agent/wagent/upstream.h"
#include "agent/websocketc/websocket_options.h"

namespace wagent {

namespace {

// How long a stop waits for requests in flight before it closes their
// connections (setting stop.timeout), and then for what is left.
const std::chrono::seconds default_drain_limit(10);
const std::chrono::seconds close_limit(1);

// Handlers that may run at once on the io threads; past it a request is
// answered "busy". Each may hold a thread while a client reads slowly.
const unsigned handler_limit = 256;

template <class Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds limit) {
  auto give_up = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string directory_of(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd)) return path;
  std::string base(cwd);
  return path == "." ? base : base + "/" + (path.compare(0, 2, "./") == 0 ? path.substr(2) : path);
}

void make_dirs(const std::string& path) {
  std::string partial;
  std::string::size_type start = 0;
  while (start <= path.size()) {
    std::string::size_type slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    partial = path.substr(0, slash);
    if (!partial.empty() && ::mkdir(partial.c_str(), 0750) != 0 &&
        errno != EEXIST)
      throw Config_Error("cannot create folder " + partial + ": " +
                         std::strerror(errno));
    start = slash + 1;
  }
}

// A file written under a temporary name is renamed into place once whole;
// one that a crash (kill -9, power loss) left behind is garbage, and the
// next write of the same file would only remove it then.
void remove_leftover_temporaries(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".tmp") != 0) continue;
    const std::string path = folder + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::unlink(path.c_str()) == 0)
      ACE_DEBUG((LM_NOTICE, "%N:%l: removed %C, left by an interrupted write\n",
                 path.c_str()));
    else
      ACE_ERROR((LM_WARNING, "%N:%l: cannot remove %C: %m\n", path.c_str()));
  }
  ::closedir(dir);
}

unsigned long number_setting(const Config& config, const std::string& key,
                             unsigned long fallback) {
  std::string text = config.get(key, "");
  if (text.empty()) return fallback;
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (errno || *end || v == 0 || text[0] == '-')
    throw Config_Error(config.where(key) + ": setting '" + key +
                       "' must be a positive number, not '" + text + "'");
  return v;
}

tcp::endpoint listen_endpoint(const Config& config) {
  const std::string text = config.get("listen", "127.0.0.1:8580");
  const std::string bad = config.where("listen") +
                          ": setting 'listen' must be a numeric address and "
                          "port, not '" + text + "'";
  std::string::size_type colon = text.rfind(':');
  if (colon == std::string::npos) throw Config_Error(bad);
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  std::string port = text.substr(colon + 1);
  char* end = nullptr;
  unsigned long p = std::strtoul(port.c_str(), &end, 10);
  beast::error_code ec;
  net::ip::address address = net::ip::make_address(host, ec);
  if (ec || port.empty() || *end || p > 65535) throw Config_Error(bad);
  return tcp::endpoint(address, static_cast<unsigned short>(p));
}

// A METHOD[,METHOD...] setting; `star` lets "*" stand for every method.
std::vector<std::string> method_list(const Config& config, const std::string& key,
                                     const std::string& fallback, bool star) {
  const std::string text = config.get(key, fallback);
  std::vector<std::string> methods;
  for (std::string::size_type start = 0; start <= text.size();) {
    std::string::size_type comma = std::min(text.find(',', start), text.size());
    methods.push_back(text.substr(start, comma - start));
    if (methods.back().empty() || (!star && methods.back() == "*"))
      throw Config_Error(config.where(key) + ": setting '" + key +
                         "' must be METHOD[,METHOD...]" + (star ? " or *" : "") +
                         ", not '" + text + "'");
    start = comma + 1;
  }
  return methods;
}

// The methods callable on the listener without a session.
std::vector<std::string> open_methods(const Config& config) {
  std::vector<std::string> methods =
      method_list(config, "jsonrpc.open", "host.info,host.test", true);
  if (std::find(methods.begin(), methods.end(), "*") != methods.end())
    ACE_ERROR((LM_WARNING, "%N:%l: jsonrpc.open is *: every JSON-RPC method "
                           "is open to any local process without a session\n"));
  return methods;
}

// The session of local callers: its key lives only in the agent's state
// folder, readable by the agent's user alone.
void add_local_session(const std::string& path) {
  std::string key, error;
  if (!local_session_key(path, key, error)) throw Config_Error(error);
  if (!Session_Manager::instance()->add_session(key, "local",
                                                JSON_RPC_Dispatcher::ADMIN_PERMS))
    throw Config_Error(path + ": the local session key is also given by a 'session' line");
  std::cerr << "wagent: local session key in " << path << std::endl;
}

}  // namespace

void apply_settings(const Config& config, File_Log_Backend& log_file,
                    JSON_RPC_Dispatcher& dispatcher) {
  const std::string appdata = absolute(config.get("appdata", "./var"));
  const std::string component = config.get("component", "agent");
  for (const char* sub : {"chost", "db", "jobs", "queues", "audit",
                          "storage_catalog"})
    make_dirs(appdata + "/" + sub);
  make_dirs(appdata + "/quillon/veltrano/" + component + "/log");
  make_dirs(appdata + "/quillon/veltrano/" + component + "/downloads");
  ::setenv("APPDATA", appdata.c_str(), 1);
  ::setenv("COMPONENT", component.c_str(), 1);
  // After APPDATA and COMPONENT: the log may live in the agent's log folder.
  std::string log = config.get("log", "stderr");
  if (log != "stderr") {
    log = platform::expand_environment(log);
    if (!log_file.open_file(log))
      throw Config_Error(config.where("log") + ": cannot open log file " +
                         log + ": " + std::strerror(errno));
    ACE_Log_Msg::msg_backend(&log_file);
    ACE_LOG_MSG->open(ACE_TEXT("wagent"), ACE_Log_Msg::CUSTOM);
  }
  for (const char* sub : {"chost", "jobs"})
    remove_leftover_temporaries(appdata + "/" + sub);
  // Spooled queues are read now, so what a crash left is reported at start.
  Queue_Manager::instance();
  Audit_Log::instance()->set_path(appdata + "/audit/events.jsonl");
  // Like libraries, a relative pools file is relative to the configuration.
  std::string pools = config.get("storage.pools", "");
  if (!pools.empty())
    set_storage_pools_file(pools[0] == '/' ? pools
                                           : directory_of(config.path) + "/" + pools);

  System_Options::instance()->clock =
      config.get("clock", "dry-run") == "system" ? System_Options::SYSTEM
                                                 : System_Options::DRY_RUN;
  System_Options::instance()->power =
      config.get("power", "dry-run") == "system" ? System_Options::SYSTEM
                                                 : System_Options::DRY_RUN;

  for (const auto& setting : config.settings) {
    if (setting.first.compare(0, 6, "drive.") != 0) continue;
    char letter = setting.first[6];
    if (!platform::set_drive(letter, setting.second))
      throw Config_Error(config.where(setting.first) + ": cannot use '" +
                         setting.second + "' as drive " + letter + ":");
  }

  dispatcher.set_open_methods(open_methods(config));
  dispatcher.set_admin_methods(method_list(
      config, "jsonrpc.admin", JSON_RPC_Dispatcher::DEFAULT_ADMIN_METHODS, false));
  dispatcher.set_batch_max(number_setting(config, "jsonrpc.batch_max",
                                          JSON_RPC_Dispatcher::DEFAULT_BATCH_MAX));

  Session_Manager::instance()->clear();
  for (const Session_Line& s : config.sessions)
    if (!Session_Manager::instance()->add_session(s.key, s.uid, s.perms))
      throw Config_Error(s.where + ": session key '" + s.key +
                         "' is given twice");
  add_local_session(appdata + "/chost/session_key");

  WebSocket_Options::instance()->clear();
  std::string upstream = config.get("upstream", "");
  if (!upstream.empty()) {
    if (!WebSocket_Options::instance()->set_url(upstream))
      throw Config_Error(config.where("upstream") +
                         ": setting 'upstream' must be a ws:// or wss:// "
                         "URL, not '" + upstream + "'");
  }
  const std::string authorities = config.get("tls.ca_file", "");
  if (!authorities.empty() && ::access(authorities.c_str(), R_OK) != 0)
    throw Config_Error(config.where("tls.ca_file") + ": setting 'tls.ca_file': cannot read '" +
                       authorities + "': " + std::strerror(errno));
  clntio::set_trusted_authorities(authorities);
}

namespace {

#ifdef __GLIBC__
// Hands freed heap pages back to the system once no request has been
// admitted for a whole period, once per quiet spell. glibc returns only
// the top of a heap by itself; the free pages between blocks still in use
// stay resident, so what a busy spell scattered would otherwise stay
// counted against the agent while it waits for the next one. The entries
// of closed connections go first, since each pins its connection's block.
// The timer runs only after activity: an idle agent is not woken for it.
class Idle_Trim {
 public:
  explicit Idle_Trim(Host_Context& ctx) : ctx_(ctx), timer_(ctx.ioc), lanes_(ctx.lanes) {}
  // Any thread: work has started after a quiet spell.
  void wake() {
    net::post(ctx_.ioc, [this] {
      if (!armed_) arm();
    });
  }
 private:
  void arm() {
    armed_ = true;
    served_ = lanes_.served();
    timer_.expires_after(std::chrono::seconds(1));
    timer_.async_wait([this](beast::error_code ec) {
      if (ec) return;
      if (lanes_.served() != served_ || lanes_.handlers() != 0) return arm();
      ctx_.forget_closed();
      ::malloc_trim(0);
      armed_ = false;
    });
  }

  Host_Context& ctx_;
  net::steady_timer timer_;
  const Io_Lanes& lanes_;
  unsigned long long served_ = 0;
  bool armed_ = false;  // on the first lane only
};
#endif

std::string executable_dir(const char* argv0) {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) {
    path[n] = '\0';
    return directory_of(path);
  }
  return directory_of(argv0 ? argv0 : ".");
}

}  // namespace

int run_host(int argc, char* argv[]) {
  Invocation invocation;
  if (int code = parse_invocation(argc, argv, invocation); code >= 0) return code;
  const Service_Notifier notifier;

  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
#ifdef __GLIBC__
  // A fixed threshold keeps large blocks (message texts, big arrays) in
  // mappings of their own that go back to the system when freed; left
  // dynamic, glibc raises it after the first large free and keeps them.
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // Threads come and go here (io threads replacing blocked ones, workers,
  // a probe thread per file system call) and glibc would give them up to
  // eight arenas per core. Each arena keeps the pages it once used, so
  // under a long load resident memory crept up arena by arena while the
  // heap in use stayed flat. One arena per core is as many as can be busy
  // at once; MALLOC_ARENA_MAX, when set, still decides.
  if (!std::getenv("MALLOC_ARENA_MAX")) ::mallopt(M_ARENA_MAX, static_cast<int>(cores));
#endif
  // Made before any thread that may start detached workers: ACE creates
  // it on first use, without a barrier for threads that read it later.
  ACE_Thread_Manager::instance();
  static File_Log_Backend log_file;  // outlives every thread that logs
  std::chrono::seconds drain_limit = default_drain_limit;
  Config config;
  const std::string exe_dir = executable_dir(argv[0]);
  Services services({exe_dir + "/../" WAGENT_MODULE_DIR, exe_dir + "/../lib", exe_dir});
  tcp::endpoint endpoint;
  Io_Lanes lanes(cores, 1 + handler_limit, handler_limit);
  Host_Context ctx(lanes, services);
  net::io_context& ioc = ctx.ioc;
  std::shared_ptr<Listener> listener;
  try {
    config = load_config(invocation.config_path);
    for (const std::string& o : invocation.overrides) apply_override(config, o);
    apply_service_directories(config);
    endpoint = listen_endpoint(config);
    apply_settings(config, log_file, services.dispatcher());
    services.load(config);
    json_rpc::set_worker_limits(number_setting(config, "jsonrpc.workers", 0),
                                number_setting(config, "jsonrpc.queue", 0));
    drain_limit = std::chrono::seconds(
        number_setting(config, "stop.timeout", drain_limit.count()));
    ctx.body_limit = number_setting(config, "http.body_limit", ctx.body_limit);
    // Handlers open files, directories and databases of their own: the
    // connections leave them part of the descriptor limit.
    rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
      ctx.limit_connections(files.rlim_cur > 256 ? files.rlim_cur - 128
                                                  : files.rlim_cur / 2);
    ctx.timeout = std::chrono::seconds(
        number_setting(config, "http.timeout", ctx.timeout.count()));
    ctx.keepalive = std::chrono::seconds(
        number_setting(config, "websocket.keepalive", ctx.keepalive.count()));
    try {
      listener = std::make_shared<Listener>(ctx, endpoint);
    } catch (const std::exception& e) {
      throw Config_Error(config.where("listen") + ": cannot listen on " +
                         config.get("listen", "127.0.0.1:8580") + ": " +
                         e.what());
    }
  } catch (const Config_Error& e) {
    services.stop();
    std::cerr << "wagent: " << e.what() << "\n";
    return 1;
  }

  // Job creation hands over to the reactor thread and the job schedules
  // tick there, so it runs before anything is served.
  Simple_Reactor::instance()->start();
  Job_Manager::instance()->open();

  tcp::endpoint bound = listener->local_endpoint();
  std::string host_text = bound.address().is_v6()
                              ? "[" + bound.address().to_string() + "]"
                              : bound.address().to_string();
  listener->start();

  std::shared_ptr<Upstream> upstream;
  if (WebSocket_Options::instance()->configured()) {
    WebSocket_Options* o = WebSocket_Options::instance();
    upstream = std::make_shared<Upstream>(ctx, o->host(), o->port(), o->path(),
                                          config.get("upstream.session", ""),
                                          o->tls());
    upstream->start();
  }

  net::signal_set signals(ioc, SIGINT, SIGTERM);
  std::promise<int> stop_signal;
  signals.async_wait([&](beast::error_code ec, int signal) {
    stop_signal.set_value(ec ? 0 : signal);
  });
#ifdef __GLIBC__
  Idle_Trim idle_trim(ctx);
  lanes.on_wake([&idle_trim] { idle_trim.wake(); });
#endif
  lanes.start();
  std::cerr << "wagent: listening on http://" << host_text << ":"
            << bound.port() << std::endl;
  notifier.notify("READY=1\nSTATUS=listening on " + host_text + ":" +
                  std::to_string(bound.port()));

  int signal = stop_signal.get_future().get();
  // The stop is bounded; a second signal must not cut its cleanup in half,
  // nor kill the process once the signal set is gone and the exit status
  // would otherwise be 0.
  beast::error_code cleared;
  signals.clear(cleared);
  std::signal(SIGINT, SIG_IGN);
  std::signal(SIGTERM, SIG_IGN);
  ACE_DEBUG((LM_NOTICE, "%N:%l: signal %d: stopping\n", signal));
  notifier.notify("STOPPING=1");
  ctx.stopping = true;
  listener->stop();
  if (upstream) upstream->stop();

  // Requests in flight get their time; then the connections are closed,
  // which ends every write still waiting on a client, and what runs after
  // that has a last second to notice.
  // Detached workers (log uploads) run module code on the services: they
  // are work in flight too, and the module stays loaded while they run.
  // count_threads() reads the manager's list without its lock, while a
  // worker may be starting: the locked listing counts instead (up to 64).
  const auto detached = [] {
    ACE_thread_t listed[64];
    return std::max<ssize_t>(0, ACE_Thread_Manager::instance()->thread_all_list(listed, 64));
  };
  const auto idle = [&] {
    return lanes.handlers() == 0 && detached() == 0 &&
           json_rpc::drain_workers(&ACE_Time_Value::zero);
  };
  if (detached())
    ACE_DEBUG((LM_NOTICE, "%N:%l: waiting up to %d s for %d detached workers\n",
               int(drain_limit.count()), int(detached())));
  wait_until(idle, drain_limit);
  ctx.shut_all();
  wait_until([&] { return idle() && ctx.open_count() == 0; }, close_limit);
  bool joined = lanes.stop(close_limit);
  if (!joined || !idle()) {
    // Work that outlived its bounds may still touch the services and the
    // process's statics: leave without destroying anything under it.
    ACE_ERROR((LM_WARNING, "%N:%l: requests still running after %d s "
                           "(%d on io threads, %C on workers, %d detached); "
                           "leaving without stopping the services\n",
               int(drain_limit.count()), int(lanes.handlers()),
               json_rpc::drain_workers(&ACE_Time_Value::zero) ? "none" : "some",
               int(detached())));
    ACE_DEBUG((LM_NOTICE, "%N:%l: stopped\n"));
    log_file.close();
    std::fflush(nullptr);
    ::_exit(0);
  }
  services.stop();
  Job_Manager::instance()->close();
  Simple_Reactor::instance()->stop();
  ACE_DEBUG((LM_NOTICE, "%N:%l: stopped\n"));
  return 0;
}

}  // namespace wagent
