// Process_Runner on Windows: CreateProcessW with the three standard handles
// as the only ones inherited, and the process in a job object of its own,
// so that ending it ends what it started too. The command writes its log
// itself here: its output is neither counted nor capped.
#include "agent/platform/process_runner.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <vector>

#include "agent/platform/utf.h"
#include "agent/platform/win32_errors.h"

namespace platform {

namespace {

// The exit code terminate() gives the job's processes: what a shell shows
// for a POSIX process ended by SIGTERM, so a job's record reads alike on
// both systems.
const DWORD TERMINATED_CODE = 128 + SIGTERM;

// The first 1023 bytes, as the POSIX process layer keeps them.
const std::size_t COMMAND_LINE_MAX = 1023;

typedef LONG(NTAPI* Process_Call)(HANDLE);

// NtSuspendProcess and NtResumeProcess stop and start every thread of a
// process at once; ntdll has had them since XP but no header declares them.
Process_Call ntdll_call(const char* name) {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll ? reinterpret_cast<Process_Call>(
                     reinterpret_cast<void*>(::GetProcAddress(ntdll, name)))
               : nullptr;
}

struct Handle_Guard {
  HANDLE handle;
  ~Handle_Guard() {
    if (handle && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
};

bool blank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

}  // namespace

struct Process_Runner::Impl {
  std::string command_line;
  Process_Limits limits = Process_Runner::default_limits();
  ULONGLONG started_at = 0;
  std::atomic<bool> cancelled{false};
  bool started = false;
  HANDLE process = NULL;
  // Null when the process could not be put in a job (a parent job that
  // forbids it, before Windows 8); then only the process itself is reached.
  HANDLE job = NULL;
  // Started and not yet waited for. The handles stay open until the object
  // goes, so a late call never reaches a process that reused the id.
  std::atomic<bool> running{false};
  std::atomic<bool> terminated{false};

  // The whole tree: what the command started goes with it. A paused
  // process ends too, suspended threads and all.
  void end_job() {
    terminated = true;
    if (!job || !::TerminateJobObject(job, TERMINATED_CODE))
      ::TerminateProcess(process, TERMINATED_CODE);
  }

  ~Impl() {
    if (process) ::CloseHandle(process);
    // Closing the job leaves its processes running: it is not set to kill
    // them on close.
    if (job) ::CloseHandle(job);
  }

  // Suspends or resumes every process of the job (the process alone
  // without one).
  void each_process(const char* call_name) {
    const Process_Call call = ntdll_call(call_name);
    if (!call || !running.load()) return;
    if (job) {
      // Room for a few hundred processes; a bigger tree has its first ones
      // reached.
      std::vector<unsigned char> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) +
                                        512 * sizeof(ULONG_PTR));
      auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
      if (::QueryInformationJobObject(job, JobObjectBasicProcessIdList, list,
                                      static_cast<DWORD>(buffer.size()), NULL) ||
          ::GetLastError() == ERROR_MORE_DATA) {
        for (DWORD k = 0; k < list->NumberOfProcessIdsInList; ++k) {
          HANDLE p = ::OpenProcess(PROCESS_SUSPEND_RESUME, FALSE,
                                   static_cast<DWORD>(list->ProcessIdList[k]));
          if (!p) continue;
          call(p);
          ::CloseHandle(p);
        }
        return;
      }
    }
    call(process);
  }
};

Process_Runner::Process_Runner(const std::string& command_line) : impl_(new Impl) {
  impl_->command_line = command_line.substr(0, COMMAND_LINE_MAX);
}

Process_Runner::~Process_Runner() { delist(); }

const std::string& Process_Runner::command_line() const { return impl_->command_line; }

void Process_Runner::set_limits(const Process_Limits& limits) { impl_->limits = limits; }

const Process_Limits& Process_Runner::limits() const { return impl_->limits; }

bool Process_Runner::start(const std::string& log_path, int) {
  if (impl_->started) {
    errno = EBUSY;
    return false;
  }
  if (blank(impl_->command_line)) {
    errno = EINVAL;
    return false;
  }
  // Both inheritable, but handed to this child alone by the handle list.
  // They are closed as soon as the child has them; until then a process
  // another thread starts with inheritance and no list of its own would
  // get them too. Others may read, rotate or delete the log while the
  // child writes it.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  Handle_Guard out{::CreateFileW(utf8_to_utf16(log_path).c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL)};
  if (out.handle == INVALID_HANDLE_VALUE) return win32::fail_with(::GetLastError());
  Handle_Guard in{::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inherit, OPEN_EXISTING, 0, NULL)};
  if (in.handle == INVALID_HANDLE_VALUE) return win32::fail_with(::GetLastError());

  // Inheritance has to stay on (bInheritHandles) for the child to get its
  // standard handles at all; the list narrows it to those two, so no
  // socket or file of the agent outlives it in the child.
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(NULL, 1, 0, &size);
  std::vector<unsigned char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &size))
    return win32::fail_with(::GetLastError());
  HANDLE inherited[2] = {in.handle, out.handle};
  if (!::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                   sizeof inherited, NULL, NULL)) {
    const DWORD error = ::GetLastError();
    ::DeleteProcThreadAttributeList(attributes);
    return win32::fail_with(error);
  }
  STARTUPINFOEXW si = {};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = in.handle;
  si.StartupInfo.hStdOutput = out.handle;
  si.StartupInfo.hStdError = out.handle;
  si.lpAttributeList = attributes;

  // CreateProcessW may write into the command line.
  std::wstring line = utf8_to_utf16(impl_->command_line);
  std::vector<wchar_t> writable(line.begin(), line.end());
  writable.push_back(0);
  PROCESS_INFORMATION pi = {};
  // Suspended until it is in its job, so nothing it starts escapes it; no
  // console window for a service's commands.
  const BOOL created = ::CreateProcessW(
      NULL, writable.data(), NULL, NULL, TRUE,
      EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED | CREATE_NO_WINDOW,
      NULL, NULL, &si.StartupInfo, &pi);
  const DWORD error = ::GetLastError();
  ::DeleteProcThreadAttributeList(attributes);
  if (!created) return win32::fail_with(error);

  HANDLE job = ::CreateJobObjectW(NULL, NULL);
  if (job && !::AssignProcessToJobObject(job, pi.hProcess)) {
    ::CloseHandle(job);
    job = NULL;
  }
  ::ResumeThread(pi.hThread);
  ::CloseHandle(pi.hThread);
  impl_->process = pi.hProcess;
  impl_->job = job;
  impl_->started = true;
  impl_->started_at = ::GetTickCount64();
  impl_->running = true;
  enlist();
  return true;
}

bool Process_Runner::wait(Process_Exit& out) {
  out = Process_Exit();
  if (!impl_->running.load()) {
    errno = ECHILD;
    return false;
  }
  const ULONGLONG timeout_ms = static_cast<ULONGLONG>(impl_->limits.timeout.count()) * 1000;
  DWORD waited_for = WAIT_TIMEOUT;
  if (timeout_ms) {
    const ULONGLONG spent = ::GetTickCount64() - impl_->started_at;
    waited_for = spent >= timeout_ms ? WAIT_TIMEOUT
                                     : ::WaitForSingleObject(impl_->process,
                                                             static_cast<DWORD>(timeout_ms - spent));
    if (waited_for == WAIT_TIMEOUT) {
      out.timed_out = true;
      impl_->end_job();
    }
  }
  DWORD code = 0;
  const bool waited = ::WaitForSingleObject(impl_->process, INFINITE) == WAIT_OBJECT_0 &&
                      ::GetExitCodeProcess(impl_->process, &code);
  const DWORD error = ::GetLastError();
  // What the command left running goes with it.
  if (impl_->job) ::TerminateJobObject(impl_->job, TERMINATED_CODE);
  impl_->running = false;
  delist();
  if (!waited) return win32::fail_with(error);
  out.code = static_cast<int>(code);
  out.cancelled = impl_->cancelled.load();
  out.duration_ms = static_cast<std::int64_t>(::GetTickCount64() - impl_->started_at);
  // Ended by terminate() or the timeout: reported as the POSIX side reports
  // SIGTERM.
  if (impl_->terminated.load() && code == TERMINATED_CODE) out.signal = SIGTERM;
  return true;
}

void Process_Runner::terminate() {
  if (!impl_->running.load()) return;
  impl_->cancelled = true;
  impl_->end_job();
}

// Windows has no signal to ask with: the end is at once either way.
void Process_Runner::kill() { terminate(); }

void Process_Runner::pause() { impl_->each_process("NtSuspendProcess"); }

void Process_Runner::resume() { impl_->each_process("NtResumeProcess"); }

}  // namespace platform
