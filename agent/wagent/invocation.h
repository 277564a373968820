// How the host was started: its command line, and what a service manager
// (systemd) hands a service: the folders of its unit in
// $CONFIGURATION_DIRECTORY, $STATE_DIRECTORY and $LOGS_DIRECTORY, and the
// socket it wants to hear "ready" on in $NOTIFY_SOCKET. With those the unit
// needs no paths of its own.
#ifndef WAGENT_INVOCATION_H
#define WAGENT_INVOCATION_H

#include <string>
#include <vector>

namespace wagent {

struct Config;

struct Invocation {
  std::string config_path;
  std::vector<std::string> overrides;  // KEY=VALUE of each -s
};

// Reads `wagent [-f CONFIG] [-s KEY=VALUE ...] [-h]`. Without -f the file
// is $CONFIGURATION_DIRECTORY/wagent.conf. Returns -1 to go on, else the
// exit code (0 after -h, 2 after a usage error, both printed).
int parse_invocation(int argc, char* argv[], Invocation& invocation);

// After the file and the -s overrides: `appdata` defaults to
// $STATE_DIRECTORY, and a relative `log` file lands in $LOGS_DIRECTORY.
void apply_service_directories(Config& config);

// Tells the service manager about the host's state ("READY=1", ...) when it
// asked to be told. The constructor takes $NOTIFY_SOCKET out of the
// environment, so commands the agent runs do not inherit it.
class Service_Notifier {
 public:
  Service_Notifier();
  // False when nobody asked or the datagram could not be sent.
  bool notify(const std::string& state) const;

 private:
  std::string socket_;
};

}  // namespace wagent

#endif
