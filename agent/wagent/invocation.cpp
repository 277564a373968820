#include "agent/wagent/invocation.h"

#include <ace/Get_Opt.h>

#include <cstdlib>
#include <iostream>

#include "agent/platform/process_env.h"
#include "agent/platform/service_notify.h"
#include "agent/wagent/config.h"

namespace wagent {

namespace {

const char usage[] = "usage: wagent [-f CONFIG] [-s KEY=VALUE ...] [-h]\n";

const char help[] =
    "\n"
    "  -f CONFIG     configuration file (default $CONFIGURATION_DIRECTORY/wagent.conf)\n"
    "  -s KEY=VALUE  overrides a 'set' line of the file\n"
    "  -h            prints this text\n"
    "\n"
    "Configuration lines ('#' starts a comment, \"...\" groups blanks):\n"
    "  set <key> <value>\n"
    "  session <session-key> <uid> <permission-mask-hex>\n"
    "  jsonrpc <method>[,<method>...] <library>:<factory> [args...]\n"
    "  params  <method> <library>:<factory> [args...]\n"
    "  rest    <path> <library>:<factory> [args...]\n"
    "  http    <path> <library>:<factory> [args...]\n"
    "\n"
    "Settings:\n"
    "  listen            ADDRESS:PORT to serve on (127.0.0.1:8580; port 0 picks one)\n"
    "  appdata           the agent's data folder ($STATE_DIRECTORY, on Windows\n"
    "                    %APPDATA%, else ./var)\n"
    "  component         $COMPONENT of the agent's paths (agent)\n"
    "  upstream          ws:// or wss://HOST:PORT/PATH of the management server (none)\n"
    "  upstream.session  session key of calls arriving from upstream\n"
    "  tls.ca_file       PEM file of the authorities TLS servers are checked against\n"
    "                    (the system's store)\n"
    "  jsonrpc.open      methods callable without a session (host.info,host.test; * = all)\n"
    "  jsonrpc.admin     methods that also need a session with both admin bits\n"
    "                    (system.execute,job.create,host.registered,\n"
    "                    host.unregistered,log.upload)\n"
    "  jsonrpc.workers   threads for handlers that may wait (64)\n"
    "  jsonrpc.queue     requests each worker pool may hold queued (1024)\n"
    "  jsonrpc.batch_max messages a JSON-RPC batch may hold (100)\n"
    "  power, clock      dry-run (record only, the default) or system\n"
    "  log               stderr (the default) or a file, relative to $LOGS_DIRECTORY;\n"
    "                    $APPDATA and $COMPONENT in it are expanded\n"
    "  drive.<letter>    folder a drive letter stands for (c: is /)\n"
    "  http.body_limit   largest request body in bytes (8388608)\n"
    "  http.timeout      seconds a request may take to arrive or a write to progress (30)\n"
    "  stop.timeout      seconds requests in flight get at SIGTERM or SIGINT (10)\n"
    "  fs.list.page_ms   milliseconds after which a page of fs.list ends early (2000)\n"
    "\n"
    "See wagent(8).\n";

// The first folder of a variable systemd set (it joins several with ':'),
// or "" when it is not set.
std::string service_directory(const char* name) {
  const std::string text = platform::get_environment(name);
  return text.substr(0, text.find(':'));
}

}  // namespace

int parse_invocation(int argc, char* argv[], Invocation& invocation) {
  ACE_Get_Opt options(argc, argv, ACE_TEXT("f:s:h"), 1, 1);
  for (int c; (c = options()) != -1;) {
    switch (c) {
      case 'f': invocation.config_path = options.opt_arg(); break;
      case 's': invocation.overrides.push_back(options.opt_arg()); break;
      case 'h': std::cout << usage << help; return 0;
      default: std::cerr << usage; return 2;
    }
  }
  if (invocation.config_path.empty()) {
    const std::string dir = service_directory("CONFIGURATION_DIRECTORY");
    if (!dir.empty()) invocation.config_path = dir + "/wagent.conf";
  }
  if (invocation.config_path.empty() || options.opt_ind() < argc) {
    std::cerr << usage;
    return 2;
  }
  return -1;
}

void apply_service_directories(Config& config) {
  std::string state = service_directory("STATE_DIRECTORY");
  std::string state_where = "$STATE_DIRECTORY";
#ifdef _WIN32
  // Windows names the data folder of the user the agent runs as (a
  // service's user too).
  const std::string appdata = platform::get_environment("APPDATA");
  if (state.empty() && !appdata.empty()) state = appdata, state_where = "%APPDATA%";
#endif
  if (!state.empty() && !config.settings.count("appdata")) {
    config.settings["appdata"] = state;
    config.setting_where["appdata"] = state_where;
  }
  const std::string logs = service_directory("LOGS_DIRECTORY");
  const std::string log = config.get("log", "stderr");
  // A file below $APPDATA is where appdata says, not a relative name.
  if (!logs.empty() && log != "stderr" && log[0] != '/' && log[0] != '$')
    config.settings["log"] = logs + "/" + log;
}

Service_Notifier::Service_Notifier()
    : socket_(platform::take_environment("NOTIFY_SOCKET")) {}

bool Service_Notifier::notify(const std::string& state) const {
  return platform::notify_service_manager(socket_, state);
}

}  // namespace wagent
