#include "fuzz/fuzz_agent.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "agent/systemutil/system_actions.h"
#include "agent/modsess/session.h"
#include "agent/wagent/config.h"
#include "agent/wagent/agent_setup.h"
#include "agent/wagent/log_backend.h"

// The harness process must not start programs or reach out: these take the
// place of the C library's for every caller in the process (the module's
// system.execute and downloads included), and fail as a refusing system
// would.
namespace {
int refused(int why) {
  errno = why;
  return -1;
}
}  // namespace

extern "C" {
pid_t fork() noexcept { return refused(EPERM); }
pid_t vfork() noexcept { return refused(EPERM); }
int execve(const char*, char* const[], char* const[]) noexcept { return refused(EPERM); }
int execv(const char*, char* const[]) noexcept { return refused(EPERM); }
int execvp(const char*, char* const[]) noexcept { return refused(EPERM); }
int connect(int, const struct sockaddr*, socklen_t) { return refused(ECONNREFUSED); }
}

namespace fuzz {

const char demo_session[] = "demo-key";

wagent::Services& agent_services() {
  static wagent::Services* services = [] {
    char dir[] = "/tmp/wagent-fuzz-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    wagent::Config config = wagent::load_config(FUZZ_WAGENT_CONF);
    wagent::apply_override(config, std::string("appdata=") + dir);
    wagent::apply_override(config, "log=/dev/null");
    static wagent::File_Log_Backend log_file;
    auto* loaded = new wagent::Services({FUZZ_MODULE_DIR});
    wagent::apply_settings(wagent::read_settings(config), config, log_file,
                           loaded->dispatcher());
    // The harness's own session, with both admin bits, so that inputs
    // reach every method: no configuration file holds a key.
    Session_Manager::instance()->add_session(demo_session, "fuzz",
                                             JSON_RPC_Dispatcher::ADMIN_PERMS);
    // Whatever the file says, nothing here may act on the machine.
    System_Options::instance()->clock = System_Options::DRY_RUN;
    System_Options::instance()->power = System_Options::DRY_RUN;
    loaded->load(config);
    std::fprintf(stderr, "fuzz: agent data in %s\n", dir);
    return loaded;
  }();
  return *services;
}

}  // namespace fuzz
