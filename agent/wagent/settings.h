// The host's settings as values: read from a Config and checked in one
// place, so a bad value stops the start with FILE:LINE before anything is
// touched, and a test can read settings without starting a process.
#ifndef WAGENT_SETTINGS_H
#define WAGENT_SETTINGS_H

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "agent/wagent/config.h"
#include "agent/wagent/net.h"

namespace wagent {

struct Host_Settings {
  tcp::endpoint listen;
  std::string listen_text;     // as written, for messages
  std::string listen_where;
  std::string appdata;         // absolute
  std::string component = "agent";
  std::string log = "stderr";  // "stderr" or a path, $APPDATA not yet expanded
  std::string log_where;
  bool clock_system = false;   // otherwise dry-run
  bool power_system = false;
  struct Drive {
    char letter;
    std::string path;
    std::string where;
  };
  std::vector<Drive> drives;
  std::vector<std::string> open_methods;  // "*" opens every method
  std::vector<std::string> admin_methods;
  std::string upstream;                   // ws:// or wss:// URL, or empty
  std::string upstream_where;
  std::string upstream_session;
  std::string ca_file;
  std::string storage_pools;              // absolute, or empty
  unsigned long workers = 0;              // 0: the pool's default
  unsigned long queue = 0;
  unsigned long batch_max = 0;            // members of one JSON-RPC batch
  std::chrono::seconds stop_timeout{10};
  std::size_t body_limit = 8 * 1024 * 1024;
  std::chrono::seconds http_timeout{30};
  std::chrono::seconds keepalive{150};
  // Handlers that may run at once on the io threads; past it a request is
  // answered "busy". Each may hold a thread while a client reads slowly.
  static constexpr unsigned default_handler_limit = 256;
  unsigned long handler_limit = default_handler_limit;
  // Settings for the modules (plugin/module_settings.h), checked here.
  std::vector<std::pair<std::string, std::string>> module_settings;
  // Commands (system.execute and job runs): the default timeout of
  // system.execute (0: none), SIGTERM to SIGKILL, the output kept per
  // command; and whether a download must name its SHA-256.
  std::chrono::seconds execute_timeout{0};
  std::chrono::seconds execute_grace{5};
  unsigned long long execute_max_output = 16ull * 1024 * 1024;
  bool execute_require_sha256 = false;
  // Whether reboot and shutdown are refused while a job runs.
  bool power_refused_while_jobs_run = false;
};

// Throws Config_Error naming where the bad value was set.
Host_Settings read_settings(const Config& config);

// `path` made absolute against the working directory.
std::string absolute_path(const std::string& path);
// Whether `path` starts at a root: /var, and on Windows also c:\x or
// \\server\share (a rooted path without its drive means the current one).
bool is_rooted(const std::string& path);

}  // namespace wagent

#endif
