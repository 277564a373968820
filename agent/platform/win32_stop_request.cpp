#include <windows.h>

#include <atomic>

#include "agent/platform/stop_request.h"

namespace platform {

namespace {

HANDLE stop_event = nullptr;
std::atomic<int> stop_code{-1};

// Runs on a thread the system starts for each console event.
BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    case CTRL_LOGOFF_EVENT:
      // A user logging off is no reason for an agent to go; left to the
      // default handler, the process would end without its stop.
      return TRUE;
    default:
      return FALSE;
  }
  deliver_stop_request(static_cast<int>(event));
  // The process ends once this returns: hold it until the program has
  // stopped and leaves (the system gives up after a few seconds).
  if (event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT) ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void deliver_stop_request(int code) {
  int none = -1;
  if (stop_code.compare_exchange_strong(none, code) && stop_event) ::SetEvent(stop_event);
}

bool hold_stop_requests() {
  if (stop_event) return true;
  // Kept for the life of the process: console events may come until the end.
  stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return stop_event && ::SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

int wait_for_stop_request() {
  if (!stop_event || ::WaitForSingleObject(stop_event, INFINITE) != WAIT_OBJECT_0) return 0;
  return stop_code.load();
}

}  // namespace platform
