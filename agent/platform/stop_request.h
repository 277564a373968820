// The request to stop that a user or the system sends a running program:
// SIGINT or SIGTERM on POSIX; Ctrl-C, Ctrl-Break, closing the console or
// shutting down on Windows.
#ifndef PLATFORM_STOP_REQUEST_H
#define PLATFORM_STOP_REQUEST_H

namespace platform {

// From now on a stop request no longer ends the process but waits for
// wait_for_stop_request. On POSIX the two signals are blocked in the
// calling thread and so in every thread it starts later: call it first in
// main, before any thread exists, or a thread that does not block them
// takes them with their default action. Children started through this
// layer get them back. False when the requests cannot be caught.
bool hold_stop_requests();

// Waits for the first stop request and answers its signal number (POSIX)
// or console event (Windows). Later requests are dropped, so they cannot
// cut the stop short. Returning from a console close or shutdown event
// would end the process at once on Windows: the system's thread for that
// event waits there for the program to finish.
int wait_for_stop_request();

#ifdef _WIN32
// Delivers a stop request as the console handler does (the service control
// manager's stop and shutdown come this way), with `code` for the wait.
void deliver_stop_request(int code);
#endif

}  // namespace platform

#endif
