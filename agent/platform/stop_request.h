// The request to stop that a user or the system sends a running program:
// SIGINT or SIGTERM on POSIX; Ctrl-C, Ctrl-Break, closing the console or
// shutting down on Windows.
#ifndef PLATFORM_STOP_REQUEST_H
#define PLATFORM_STOP_REQUEST_H

#include <functional>

namespace platform {

// From now on a stop request no longer ends the process: the first one
// calls `on_stop` once, on a thread of its own, with the signal number
// (POSIX) or the console event (Windows); later ones are ignored, so they
// cannot cut the stop short. Returning from a console close or shutdown
// event would end the process at once on Windows: that thread waits there
// for the program to finish. Call at most once per process; false when the
// requests cannot be caught.
bool on_stop_request(std::function<void(int)> on_stop);

}  // namespace platform

#endif
