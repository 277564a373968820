#include <windows.h>

#include <mutex>

#include "agent/platform/service_notify.h"
#include "agent/platform/stop_request.h"
#include "agent/platform/utf.h"

namespace platform {

namespace {

// The one service of this process, while it runs as one.
struct Service_State {
  std::mutex lock;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  std::wstring name;
  const std::function<int()>* body = nullptr;
  int exit_code = 0;
  // Set once the body has returned.
  HANDLE ended = nullptr;

  void report(DWORD state, DWORD exit = NO_ERROR) {
    std::lock_guard<std::mutex> guard(lock);
    if (!handle) return;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exit ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = exit;
    // While a start or a stop is pending the manager waits this long for
    // the next report before it gives up; otherwise both are 0.
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwWaitHint = pending ? 30000 : 0;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    ::SetServiceStatus(handle, &status);
  }
};

Service_State service;

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      service.report(SERVICE_STOP_PENDING);
      deliver_stop_request(static_cast<int>(control));
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// Runs on a thread the manager starts; main waits in the dispatcher.
void WINAPI service_main(DWORD, wchar_t**) {
  {
    std::lock_guard<std::mutex> guard(service.lock);
    service.handle =
        ::RegisterServiceCtrlHandlerExW(service.name.c_str(), on_control, nullptr);
  }
  if (!service.handle) return;
  service.report(SERVICE_START_PENDING);
  service.exit_code = (*service.body)();
  ::SetEvent(service.ended);
  service.report(SERVICE_STOPPED, static_cast<DWORD>(service.exit_code));
}

}  // namespace

bool notify_service_manager(const std::string&, const std::string& state) {
  {
    std::lock_guard<std::mutex> guard(service.lock);
    if (!service.handle) return false;
  }
  if (state.find("READY=1") != std::string::npos) service.report(SERVICE_RUNNING);
  if (state.find("STOPPING=1") != std::string::npos) service.report(SERVICE_STOP_PENDING);
  return true;
}

int run_as_service(const std::string& name, const std::function<int()>& body) {
  service.name = utf8_to_utf16(name);
  service.body = &body;
  service.ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYW table[] = {{&service.name[0], service_main}, {nullptr, nullptr}};
  if (::StartServiceCtrlDispatcherW(table)) {
    // The dispatcher may come back before the body has (wine's does): the
    // process must not end under it.
    bool started;
    {
      std::lock_guard<std::mutex> guard(service.lock);
      started = service.handle != nullptr;
    }
    if (started) ::WaitForSingleObject(service.ended, INFINITE);
    return service.exit_code;
  }
  // Started from a console or by another program: no manager to talk to.
  if (::GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return body();
  return 1;
}

}  // namespace platform
