#include <windows.h>

#include <atomic>

#include "agent/platform/stop_request.h"

namespace platform {

namespace {

std::function<void(int)>* stop_callback = nullptr;
std::atomic<bool> stop_requested(false);

// Runs on a thread the system starts for each console event.
BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  if (!stop_requested.exchange(true)) (*stop_callback)(static_cast<int>(event));
  // The process ends once this returns: hold it until the program has
  // stopped and leaves (the system gives up after a few seconds).
  if (event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT) ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

bool on_stop_request(std::function<void(int)> on_stop) {
  if (stop_callback) return false;
  // Kept for the life of the process: console events may come until the end.
  stop_callback = new std::function<void(int)>(std::move(on_stop));
  return ::SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

}  // namespace platform
