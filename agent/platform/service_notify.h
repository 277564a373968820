// Telling a service manager how the service is doing.
#ifndef PLATFORM_SERVICE_NOTIFY_H
#define PLATFORM_SERVICE_NOTIFY_H

#include <string>

namespace platform {

// Sends `state` ("READY=1", "STOPPING=1", "STATUS=...", one per line) to
// the address a service manager gave the process (systemd's $NOTIFY_SOCKET:
// a socket path, or '@' for a name in the abstract namespace). False when
// the address is unusable or the datagram could not be sent; always false
// on Windows, whose service manager is told through the service's status.
bool notify_service_manager(const std::string& address, const std::string& state);

}  // namespace platform

#endif
