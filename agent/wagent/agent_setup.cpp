#include "agent/wagent/agent_setup.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "agent/clntio/http_client.h"
#include "agent/eventutil/event_trigger.h"
#include "agent/json_rpc/json_rpc_dispatcher.h"
#include "agent/modsess/session.h"
#include "agent/paths/app_data.h"
#include "agent/platform/directory_reader.h"
#include "agent/platform/files.h"
#include "agent/platform/platform.h"
#include "agent/platform/process_env.h"
#include "agent/platform/process_runner.h"
#include "agent/plugin/module_settings.h"
#include "agent/queue/queue_manager.h"
#include "agent/storage_catalog/storage_catalog.h"
#include "agent/systemutil/system_actions.h"
#include "agent/wagent/log_backend.h"
#include "agent/websocketc/websocket_options.h"

namespace wagent {

namespace {

void make_dirs(const std::string& path) {
  if (!platform::make_folders(path, 0750))
    throw Config_Error("cannot create folder " + path + ": " + std::strerror(errno));
}

// A file written under a temporary name is renamed into place once whole;
// one that a crash (kill -9, power loss) left behind is garbage, and the
// next write of the same file would only remove it then.
void remove_leftover_temporaries(const std::string& folder) {
  Directory_Reader dir;
  if (!dir.open(folder.c_str(), true, Directory_Reader::WITH_STAT)) return;
  Directory_Entry_T<char> e;
  while (dir.read(e)) {
    const std::string& name = e.name;
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".tmp") != 0) continue;
    if (!S_ISREG(e.mode)) continue;  // links and folders are no leftovers
    const std::string path = folder + "/" + name;
    if (ACE_OS::unlink(path.c_str()) == 0)
      ACE_DEBUG((LM_NOTICE, "%N:%l: removed %C, left by an interrupted write\n",
                 path.c_str()));
    else
      ACE_ERROR((LM_WARNING, "%N:%l: cannot remove %C: %m\n", path.c_str()));
  }
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

void prepare_folders(const Host_Settings& s) {
  for (const auto& [name, value] : {std::make_pair("APPDATA", s.appdata),
                                    std::make_pair("COMPONENT", s.component)})
    if (!platform::set_environment(name, value))
      ACE_ERROR((LM_WARNING, "%N:%l: cannot set %C to '%C' in the environment\n", name,
                 value.c_str()));
  for (App_Data where : {App_Data::CHOST, App_Data::DB, App_Data::JOBS, App_Data::QUEUES,
                         App_Data::AUDIT, App_Data::STORAGE_CATALOG, App_Data::LOG,
                         App_Data::DOWNLOADS})
    make_dirs(app_data(where).path());
}

// After APPDATA and COMPONENT: the log may live in the agent's log folder.
void open_log(const Host_Settings& s, File_Log_Backend& log_file) {
  if (s.log == "stderr") return;
  const std::string log = platform::expand_environment(s.log);
  if (!log_file.open_file(log))
    throw Config_Error(s.log_where + ": cannot open log file " + log + ": " +
                       std::strerror(errno));
  ACE_Log_Msg::msg_backend(&log_file);
  ACE_LOG_MSG->open(ACE_TEXT("wagent"), ACE_Log_Msg::CUSTOM);
}

void set_callers(const Host_Settings& s, const Config& config,
                 JSON_RPC_Dispatcher& dispatcher) {
  if (std::find(s.open_methods.begin(), s.open_methods.end(), "*") != s.open_methods.end())
    ACE_ERROR((LM_WARNING, "%N:%l: jsonrpc.open is *: every JSON-RPC method "
                           "is open to any local process without a session\n"));
  dispatcher.set_open_methods(s.open_methods);
  dispatcher.set_admin_methods(s.admin_methods);
  dispatcher.set_batch_max(s.batch_max);
  Session_Manager::instance()->clear();
  for (const Session_Line& line : config.sessions)
    if (!Session_Manager::instance()->add_session(line.key, line.uid, line.perms))
      throw Config_Error(line.where + ": session key '" + line.key + "' is given twice");
  add_local_session(app_data(App_Data::CHOST, "session_key").path());
}

}  // namespace

void apply_settings(const Host_Settings& s, const Config& config,
                    File_Log_Backend& log_file, JSON_RPC_Dispatcher& dispatcher) {
  prepare_folders(s);
  open_log(s, log_file);
  for (App_Data where : {App_Data::CHOST, App_Data::JOBS})
    remove_leftover_temporaries(app_data(where).path());
  // Spooled queues are read now, so what a crash left is reported at start.
  Queue_Manager::instance();
  Audit_Log::instance()->set_path(app_data(App_Data::AUDIT, "events.jsonl").path());
  if (!s.storage_pools.empty()) set_storage_pools_file(s.storage_pools);
  System_Options::instance()->clock =
      s.clock_system ? System_Options::SYSTEM : System_Options::DRY_RUN;
  System_Options::instance()->power =
      s.power_system ? System_Options::SYSTEM : System_Options::DRY_RUN;
  System_Options::instance()->power_refused_while_jobs_run = s.power_refused_while_jobs_run;
  System_Options::instance()->execute_timeout = s.execute_timeout.count();
  System_Options::instance()->require_sha256 = s.execute_require_sha256;
  platform::Process_Limits limits;
  limits.grace = s.execute_grace;
  limits.max_output = s.execute_max_output;
  platform::Process_Runner::set_default_limits(limits);
  for (const Host_Settings::Drive& d : s.drives)
    if (!platform::set_drive(d.letter, d.path))
      throw Config_Error(d.where + ": cannot use '" + d.path + "' as drive " + d.letter + ":");
  set_callers(s, config, dispatcher);
  plugin::clear_module_settings();
  for (const auto& [key, value] : s.module_settings) plugin::set_module_setting(key, value);
  WebSocket_Options::instance()->clear();
  if (!s.upstream.empty() && !WebSocket_Options::instance()->set_url(s.upstream))
    throw Config_Error(s.upstream_where +
                       ": setting 'upstream' must be a ws:// or wss:// URL, not '" +
                       s.upstream + "'");
  clntio::set_trusted_authorities(s.ca_file);
}

}  // namespace wagent
