// Running under a service manager and telling it how the service is doing.
#ifndef PLATFORM_SERVICE_NOTIFY_H
#define PLATFORM_SERVICE_NOTIFY_H

#include <functional>
#include <string>

namespace platform {

// Sends `state` ("READY=1", "STOPPING=1", "STATUS=...", one per line) to
// the address a service manager gave the process (systemd's $NOTIFY_SOCKET:
// a socket path, or '@' for a name in the abstract namespace). False when
// the address is unusable or the datagram could not be sent. On Windows
// `address` is not used: within run_as_service, "READY=1" reports the
// service running and "STOPPING=1" stopping to the service control
// manager; outside it the call is false.
bool notify_service_manager(const std::string& address, const std::string& state);

// Calls `body` and answers its exit code. When the Windows service control
// manager started the process, `body` runs as the service `name`: a stop or
// the system's shutdown from the manager is a stop request (stop_request.h),
// and the manager learns the exit code. Elsewhere, and for a program
// started from a console, it is a plain call.
int run_as_service(const std::string& name, const std::function<int()>& body);

}  // namespace platform

#endif
